// Building and querying the operator table.
#include "ops/registry.hpp"

#include <utility>

#include "ops/builtin.hpp"

namespace vok {

OperatorRegistry OperatorRegistry::with_builtins() {
  OperatorRegistry r;
  for (OperatorPtr& op : named_constants()) r.register_operator(std::move(op));
  for (OperatorPtr& op : all_builtins()) r.register_operator(std::move(op));
  return r;
}

void OperatorRegistry::register_operator(OperatorPtr op) {
  OperatorMeta m{std::string(op->name()), op->arity(), op->is_commutative()};
  meta_.push_back(std::move(m));
  operators_.push_back(std::move(op));
}

std::vector<std::uint64_t> OperatorRegistry::ids_by_arity(std::uint8_t arity) const {
  std::vector<std::uint64_t> ids;
  for (std::size_t i = 0; i < meta_.size(); ++i) {
    if (meta_[i].arity == arity) ids.push_back(i);
  }
  return ids;
}

}  // namespace vok
