// Token lists as plain Python tuples, both ways; the engine validates what
// comes in.
#include "engine_module.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <variant>

#include "lib/engine.hpp"

namespace vok::learn {

namespace {

PyObject* name_of(const OperatorRegistry& registry, std::uint64_t id) {
  const std::string& name = registry.meta()[id].name;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

Ref token_tuple(const Token& t, const OperatorRegistry& registry) {
  switch (t.kind) {
    case TokenKind::Variable:
      return Ref(Py_BuildValue("(si)", "var", static_cast<int>(t.index)));
    case TokenKind::Parameter:
      return Ref(Py_BuildValue("(sd)", "const", t.value.re));
    case TokenKind::Literal:
      return Ref(Py_BuildValue("(sd)", "literal", t.value.re));
    case TokenKind::Constant:
    case TokenKind::Apply: {
      Ref name(name_of(registry, t.op));
      if (!name) return Ref();
      return Ref(Py_BuildValue("(sKO)", t.kind == TokenKind::Constant ? "named" : "op",
                               static_cast<unsigned long long>(t.op), name.get()));
    }
  }
  PyErr_SetString(PyExc_SystemError, "unknown token kind");
  return Ref();
}

bool bad_token(std::size_t i, const char* what) {
  PyErr_Format(PyExc_ValueError, "token %zu: %s", i, what);
  return false;
}

// An integer field of a token within [0, limit].
bool int_field(PyObject* obj, std::size_t i, unsigned long long limit, unsigned long long& out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) return bad_token(i, "expected an integer index or id");
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return bad_token(i, "index or id out of range");
  }
  if (v < 0 || static_cast<unsigned long long>(v) > limit) return bad_token(i, "index or id out of range");
  out = static_cast<unsigned long long>(v);
  return true;
}

bool float_field(PyObject* obj, std::size_t i, double& out) {
  if (!PyFloat_Check(obj) && !(PyLong_Check(obj) && !PyBool_Check(obj))) {
    return bad_token(i, "expected a real number");
  }
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return bad_token(i, "the number does not fit a float");
  }
  return true;
}

// One tuple into a token; ids are checked against the registry's size and
// names against the registry, the rest is left to expression_from_tokens.
bool parse_token(PyObject* item, std::size_t i, const OperatorRegistry& registry, Token& out) {
  Ref fields(PySequence_Fast(item, ""));
  if (!fields || PyUnicode_Check(item)) {
    PyErr_Clear();
    return bad_token(i, "expected a tuple such as ('var', 0), ('const', 1.5) or ('op', 8, 'Plus')");
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fields.get());
  PyObject** f = PySequence_Fast_ITEMS(fields.get());
  if (n < 1 || !PyUnicode_Check(f[0])) return bad_token(i, "the first field must be the token kind, a string");
  Py_ssize_t size = 0;
  const char* kind_text = PyUnicode_AsUTF8AndSize(f[0], &size);
  if (kind_text == nullptr) return false;
  const std::string_view kind(kind_text, static_cast<std::size_t>(size));
  unsigned long long index = 0;
  double value = 0.0;
  if (kind == "var") {
    if (n != 2) return bad_token(i, "a 'var' token is ('var', index)");
    if (!int_field(f[1], i, kMaxVariables - 1, index)) return false;
    out = Token::variable(static_cast<std::uint8_t>(index));
  } else if (kind == "const" || kind == "literal") {
    if (n != 2) return bad_token(i, "a 'const' or 'literal' token is (kind, value)");
    if (!float_field(f[1], i, value)) return false;
    out = kind == "const" ? Token::parameter(0, {value, 0.0}) : Token::literal(value);
  } else if (kind == "named" || kind == "op") {
    if (n != 3) return bad_token(i, "a 'named' or 'op' token is (kind, id, name)");
    if (!int_field(f[1], i, registry.size() - 1, index)) return false;
    if (!PyUnicode_Check(f[2])) return bad_token(i, "the operator name must be a string");
    const std::string& name = registry.meta()[index].name;
    if (PyUnicode_CompareWithASCIIString(f[2], name.c_str()) != 0) {
      PyErr_Format(PyExc_ValueError, "token %zu: id %llu is %s, not %R", i, index, name.c_str(), f[2]);
      return false;
    }
    const std::uint8_t arity = registry.operators()[index]->arity();
    if (kind == "named") {
      out = Token::constant(index, {});
    } else {
      out = Token::apply(arity, index);
    }
    if ((kind == "named") != (arity == 0)) {
      return bad_token(i, kind == "named" ? "that id is an operator, not a named constant"
                                          : "that id is a named constant, not an operator");
    }
  } else {
    PyErr_Format(PyExc_ValueError, "token %zu: unknown kind %R (expected 'var', 'const', 'literal', 'named' or 'op')",
                 i, f[0]);
    return false;
  }
  return true;
}

}  // namespace

Ref tokens_to_list(const Expression& e, const OperatorRegistry& registry) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(e.tokens.size())));
  if (!list) return Ref();
  for (std::size_t i = 0; i < e.tokens.size(); ++i) {
    Ref t = token_tuple(e.tokens[i], registry);
    if (!t) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  return list;
}

std::optional<Expression> expression_from_list(PyObject* list) {
  EngineState& s = engine_state();
  if (!s.registry) s.registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  if (PyUnicode_Check(list) || PyBytes_Check(list)) {
    PyErr_SetString(PyExc_ValueError, "tokens must be a list of token tuples");
    return std::nullopt;
  }
  Ref items(PySequence_Fast(list, "tokens must be a list of token tuples"));
  if (!items) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "tokens must be a list of token tuples");
    }
    return std::nullopt;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (static_cast<std::size_t>(n) > kMaxFormulaTokens) {
    PyErr_Format(PyExc_ValueError, "the token list has %zd tokens (at most %zu)", n, kMaxFormulaTokens);
    return std::nullopt;
  }
  std::vector<Token> tokens(static_cast<std::size_t>(n));
  PyObject** raw = PySequence_Fast_ITEMS(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!parse_token(raw[i], static_cast<std::size_t>(i), *s.registry, tokens[static_cast<std::size_t>(i)])) {
      return std::nullopt;
    }
  }
  auto built = expression_from_tokens(tokens, *s.registry);
  if (auto* error = std::get_if<SearchError>(&built)) {
    const std::string text = error->text();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return std::nullopt;
  }
  return std::get<Expression>(std::move(built));
}

}  // namespace vok::learn
