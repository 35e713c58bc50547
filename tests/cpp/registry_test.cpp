// Tests of the operator registry: the built-in table, arities, registration.
#include "ops/registry.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine_helpers.hpp"
#include "ops/builtin.hpp"

namespace vok {
namespace {

using Ids = std::vector<std::uint64_t>;
using K = BuiltinKind;
using testing_support::id_named;
using testing_support::id_of;

TEST(Registry, WithBuiltinsTable) {
  const struct {
    const char* name;
    int arity;
    bool commutative;
  } rows[] = {
      {"0", 0, false},      {"1", 0, false},      {"I", 0, false},        {"Pi", 0, false},
      {"E", 0, false},      {"VOK", 2, false},    {"Neg", 1, false},      {"Inv", 1, false},
      {"Plus", 2, true},    {"Times", 2, true},   {"Subtract", 2, false}, {"Divide", 2, false},
      {"Exp", 1, false},    {"Log", 1, false},    {"Sqrt", 1, false},     {"Sin", 1, false},
      {"Cos", 1, false},    {"Tan", 1, false},    {"ArcSin", 1, false},   {"ArcCos", 1, false},
      {"ArcTan", 1, false}, {"Square", 1, false}, {"Cube", 1, false},
  };
  const OperatorRegistry reg = OperatorRegistry::with_builtins();
  ASSERT_EQ(reg.size(), 23u);
  ASSERT_EQ(reg.meta().size(), 23u);
  for (std::size_t id = 0; id < reg.size(); ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(reg.meta()[id].name, rows[id].name);
    EXPECT_EQ(reg.meta()[id].arity, rows[id].arity);
    EXPECT_EQ(reg.meta()[id].is_commutative, rows[id].commutative);
    EXPECT_EQ(reg.operators()[id]->name(), rows[id].name);
  }
}

TEST(Registry, BuiltinIdsMatchFacts) {
  const OperatorRegistry reg = OperatorRegistry::with_builtins();
  for (std::size_t k = 0; k < kBuiltinCount; ++k) {
    const std::size_t id = kFirstBuiltinId + k;
    const OperatorFacts& f = kBuiltinFacts[k];
    SCOPED_TRACE(f.name);
    EXPECT_EQ(reg.meta()[id].name, f.name);
    EXPECT_EQ(reg.meta()[id].arity, f.arity);
    EXPECT_EQ(reg.meta()[id].is_commutative, f.commutative);
    EXPECT_EQ(reg.operators()[id]->debug(), f.type_name);
  }
}

TEST(Registry, IdsByArity) {
  const OperatorRegistry reg = OperatorRegistry::with_builtins();
  EXPECT_EQ(reg.ids_by_arity(0), (Ids{id_named("0"), id_named("1"), id_named("I"), id_named("Pi"), id_named("E")}));
  EXPECT_EQ(reg.ids_by_arity(1),
            (Ids{id_of(K::Neg), id_of(K::Inv), id_of(K::Exp), id_of(K::Log), id_of(K::Sqrt), id_of(K::Sin),
                 id_of(K::Cos), id_of(K::Tan), id_of(K::ArcSin), id_of(K::ArcCos), id_of(K::ArcTan),
                 id_of(K::Square), id_of(K::Cube)}));
  EXPECT_EQ(reg.ids_by_arity(2),
            (Ids{id_of(K::Vok), id_of(K::Plus), id_of(K::Times), id_of(K::Subtract), id_of(K::Divide)}));
  EXPECT_TRUE(reg.ids_by_arity(3).empty());
  EXPECT_TRUE(OperatorRegistry{}.ids_by_arity(1).empty());
}

class Ternary final : public Operator {
 public:
  explicit Ternary(std::string n) : name_(std::move(n)) {}
  std::string debug() const override { return "Ternary"; }
  std::string_view name() const override { return name_; }
  std::uint8_t arity() const override { return 3; }
  bool is_commutative() const override { return true; }
  std::optional<Complex> eval(std::span<const Complex> a) const override {
    return Complex{a[0].re + a[1].re + a[2].re, 0.0};
  }
  std::string to_latex(std::span<const std::string>) const override { return "t"; }
  std::string to_python(std::span<const std::string>) const override { return "t"; }

 private:
  std::string name_;
};

TEST(Registry, RegisterAppendsWithNextId) {
  OperatorRegistry reg = OperatorRegistry::with_builtins();
  const std::uint64_t first = reg.size();
  reg.register_operator(std::make_shared<const Ternary>("Tri"));
  ASSERT_EQ(reg.size(), first + 1);
  EXPECT_EQ(reg.meta()[first].name, "Tri");
  EXPECT_EQ(reg.meta()[first].arity, 3);
  EXPECT_TRUE(reg.meta()[first].is_commutative);
  EXPECT_EQ(reg.ids_by_arity(3), (Ids{first}));
  // Duplicate names are accepted and get their own id.
  reg.register_operator(std::make_shared<const Ternary>("Tri"));
  EXPECT_EQ(reg.ids_by_arity(3), (Ids{first, first + 1}));
  // Earlier entries are unchanged.
  EXPECT_EQ(reg.meta()[id_of(K::Vok)].name, "VOK");
  EXPECT_EQ(reg.meta()[id_named("I")].name, "I");
}

}  // namespace
}  // namespace vok
