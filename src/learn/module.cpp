// The module object of vok_learn._engine and its small functions: formula
// validation, rendering and evaluation, and the operator table.
#include "engine_module.hpp"

#include <span>
#include <string>

#include "bind/args.hpp"
#include "lib/engine.hpp"

namespace vok::learn {
namespace {

Ref text(const std::string& s) {
  return Ref(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

PyObject* validate(PyObject*, PyObject* tokens) {
  return py::guarded([&]() -> PyObject* {
    auto e = expression_from_list(tokens);
    if (!e) return nullptr;
    return tokens_to_list(*e, *engine_state().registry).release();
  });
}

PyObject* render(PyObject*, PyObject* tokens) {
  return py::guarded([&]() -> PyObject* {
    auto e = expression_from_list(tokens);
    if (!e) return nullptr;
    const OperatorList ops = engine_state().registry->operators();
    Ref formula = text(e->formula), latex = text(render_latex(*e, ops)), python = text(render_python(*e, ops));
    if (!formula || !latex || !python) return nullptr;
    return PyTuple_Pack(3, formula.get(), latex.get(), python.get());
  });
}

PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"evaluate", {"tokens", "X", "guard"}, 2};
    PyObject* a[3];
    if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return nullptr;
    auto e = expression_from_list(a[0]);
    if (!e) return nullptr;
    // Non-finite inputs are allowed here: they evaluate as the formula says.
    auto x = float_array(a[1], "X", 2);
    if (!x) return nullptr;
    const int guarded = a[2] == nullptr ? 1 : PyObject_IsTrue(a[2]);
    if (guarded < 0) return nullptr;
    if (x->cols < e->num_vars) {
      PyErr_Format(PyExc_ValueError, "the formula reads column %d but X has %zu column%s", e->num_vars - 1, x->cols,
                   x->cols == 1 ? "" : "s");
      return nullptr;
    }
    double* out = nullptr;
    Ref array = new_vector(x->rows, &out);
    if (!array) return nullptr;
    {
      Unlocked unlocked;
      eval_rows(*e, *engine_state().registry, x->dataset(), std::span(out, x->rows),
                guarded != 0 ? ResultBound::kGuard : ResultBound::kFinite);
    }
    return array.release();
  });
}

PyObject* operators(PyObject*, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    const OperatorRegistry registry = OperatorRegistry::with_builtins();
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (std::size_t id = 0; id < registry.size(); ++id) {
      Ref item(Py_BuildValue("(ns#i)", static_cast<Py_ssize_t>(id), registry.meta()[id].name.data(),
                             static_cast<Py_ssize_t>(registry.meta()[id].name.size()),
                             static_cast<int>(registry.operators()[id]->arity())));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* threads(PyObject*, PyObject*) { return PyLong_FromSize_t(hardware_threads()); }

using py::as_cfunction;

PyMethodDef g_methods[] = {
    {"search", as_cfunction(search), METH_FASTCALL | METH_KEYWORDS,
     "search(X, y, max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, l1_ratio=0.5, "
     "exhaustive=False, time_limit=None, threads=None, output='silent', callback=None, ranking='raw', "
     "constants='fitted', dispatch=None, operators=None, units=None, output_scaling=False, "
     "sample_weight=None, screen_factor=0.0, refine='diagonal', checkpoint=None, resume='auto', "
     "warm_start=False, resume_state=None, keep_state=False, note=None)\n--\n\n"
     "Runs one search with the interpreter lock released. Returns {'equations': [...], 'stop_reason': "
     "'completed' | 'early_exit' | 'time_limit' | 'cancelled', 'last_level': int, 'resumed_level': int, "
     "'checkpoint_failures': int, 'checkpoint_failure': str, 'state': a kept search or None, 'checkpoint_writes': [{'level', "
     "'bytes', 'encode_seconds', 'write_seconds', 'wait_seconds'}, ...]}, the equations most "
     "accurate first, each {'tokens', 'error', 'complexity', 'formula', 'latex', 'python'}. callback(event) "
     "runs on the calling thread with 'level' and 'progress' events; its exception, or Ctrl-C, stops the "
     "search and propagates with the results so far as the exception's 'partial' attribute. ranking "
     "'affine' keeps a level's candidates by the error of their best affine fit to y (reported errors stay "
     "raw); constants 'named' or 'both' put the named constants 0, 1, I, Pi, E into level 1. A level event "
     "also says where the level's time went ('generate_seconds', 'score_seconds', 'close_seconds'). "
     "dispatch.score_level(level) is handed each level of at least dispatch.min_candidates candidates, as a "
     "DispatchedLevel, to have it scored elsewhere: it returns the summaries of ranges that tile the level "
     "(the search closes the level from them exactly as if it had scored it; ValueError when they do not "
     "make it up), or None to give the level up; what it raises stops the search as a callback's "
     "exception does. sample_weight (finite, >= 0, not all 0) weights every squared error, as a "
     "Dataset's does. screen_factor: a candidate with constants that starts (at its operands' fitted "
     "constants) more than this factor behind the previous level's beam and the front, and that the "
     "first step of refinement with a free scale and offset would leave as far behind, is dropped "
     "unrefined; 0 refines every candidate. refine 'coupled' steps all constants together (the damped "
     "normal equations) and gives up only at the damping ceiling; 'diagonal' is vok_sr's refinement. "
     "checkpoint: a file replaced atomically after every completed level and locked for "
     "the search; an existing one is continued when its data and settings match (resume 'auto'), never "
     "('never'), or must be ('always'); ValueError says what differs, or why the file cannot be read. "
     "warm_start lets a stored search continue to a larger max_complexity (and offers the rescalings that "
     "needs); resume_state continues the state a keep_state search returned (held in memory, not copied); note is stored as it is. "
     "A write that fails is counted in 'checkpoint_failures' and the search goes on."},
    {"read_checkpoint", as_cfunction(read_checkpoint), METH_O,
     "read_checkpoint(path, /)\n--\n\n"
     "A checkpoint's {'last_level', 'max_complexity', 'rows', 'columns', 'equations', 'note'}: its front's "
     "equations up to max_complexity (simplest first, each {'tokens', 'error', 'complexity'}, the error on "
     "the searched rows) and the note stored with it. FileNotFoundError, OSError, or ValueError for a "
     "file that is not a checkpoint this version reads."},
    {"evaluate", as_cfunction(evaluate), METH_FASTCALL | METH_KEYWORDS,
     "evaluate(tokens, X, guard=True)\n--\n\n"
     "The real part of the formula on each row of X as a float64 array, NaN where it has no value; equal "
     "bit for bit to vok_sr's SearchResult.eval_batch on the same formula. guard=False keeps every finite "
     "operator result, however large (exp(40) has a value), as predictions on new data need."},
    {"assess", as_cfunction(assess), METH_FASTCALL | METH_KEYWORDS,
     "assess(equations, data)\n--\n\n"
     "For each token list, (loss, leaves_reals) on a Dataset from one evaluation: the mean squared error of "
     "the real part against y (as numpy.mean of the squares; inf when some row has no value) and whether "
     "some row with a value passes through a non-real value (a leaf or an intermediate or final result with "
     "a non-zero imaginary part). In parallel over the equations."},
    {"refine", as_cfunction(refine), METH_FASTCALL | METH_KEYWORDS,
     "refine(equations, data, alpha=0.0, l1_ratio=0.5, iterations=100, time_limit=None, refine='diagonal')\n--\n\n"
     "Refits each token list's constants on every row of a Dataset by the search's own refinement "
     "(Levenberg-Marquardt with the elastic-net penalty alpha, l1_ratio), in parallel over the equations; "
     "[(tokens, loss, leaves_reals)] of the refitted lists, as assess() gives them (the loss without the "
     "penalty). A refinement stops at time_limit seconds with the constants it has reached; a list without "
     "constants comes back as it is. refine as for search()."},
    {"render", as_cfunction(render), METH_O,
     "render(tokens)\n--\n\nThe formula text, the LaTeX form and the Python/NumPy form of a token list."},
    {"validate", as_cfunction(validate), METH_O,
     "validate(tokens)\n--\n\nThe token list in its normal form; ValueError naming the first fault of a "
     "malformed one."},
    {"operators", as_cfunction(operators), METH_NOARGS,
     "operators()\n--\n\nThe operator table: (id, name, arity) for every id a token may use."},
    {"hardware_threads", as_cfunction(threads), METH_NOARGS,
     "hardware_threads()\n--\n\nThe number of threads a search uses when it is not limited."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vok_learn._engine",
    "The private engine entry of vok_learn: bounded, silent, interruptible searches and exact formulas.",
    -1,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

bool add_type(PyObject* module, PyType_Spec& spec, const char* name, PyTypeObject*& type) {
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) return false;
  }
  // PyModule_AddObjectRef leaves the type's own reference with the static.
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace vok::learn

PyMODINIT_FUNC PyInit__engine() {
  return vok::py::guarded([] {
    vok::learn::EngineState& s = vok::learn::engine_state();
    if (!s.registry) s.registry = std::make_shared<const vok::OperatorRegistry>(vok::OperatorRegistry::with_builtins());
    PyObject* module = PyModule_Create(&vok::learn::g_module_def);
    if (module != nullptr && (!vok::learn::add_scorer_type(module) || !vok::learn::add_level_type(module) ||
                              !vok::learn::add_dataset_type(module))) {
      Py_CLEAR(module);
    }
    return module;
  });
}
