#pragma once

// The numbered table of operators that a search uses.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ops/operator.hpp"

namespace vok {

struct OperatorMeta {
  std::string name;  // copied at registration; the name used in formula texts
  std::uint8_t arity = 0;
  bool is_commutative = false;
};

// The numbered operator table of one search. Ids are dense and in
// registration order; operators()[i] and meta()[i] describe the same
// operator. Built once, then only read: safe to share across threads.
class OperatorRegistry {
 public:
  // Constants "0", "1", "I", "Pi", "E" (ids 0..4), then all_builtins() (5..22).
  static OperatorRegistry with_builtins();

  // Appends `op`; its id is size() before the call. (`register` itself is a
  // reserved word in C++.)
  void register_operator(OperatorPtr op);

  std::vector<std::uint64_t> ids_by_arity(std::uint8_t arity) const;

  const std::vector<OperatorPtr>& operators() const { return operators_; }
  const std::vector<OperatorMeta>& meta() const { return meta_; }
  std::size_t size() const { return operators_.size(); }

 private:
  std::vector<OperatorPtr> operators_;
  std::vector<OperatorMeta> meta_;
};

using RegistryPtr = std::shared_ptr<const OperatorRegistry>;

}  // namespace vok
