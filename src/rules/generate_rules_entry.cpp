// generate_rules: argument checks with the interpreter lock held, rule generation with it
// released (inside a task arena when the call bounds its threads), then the columns, which
// take over the engine's buffers.
#include <string>
#include <string_view>

#include "common/thread_limit.hpp"
#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "result_dict.hpp"
#include "row_arrays.hpp"
#include "rules/rule_generation.hpp"

namespace tallyfold {

namespace {

Signature rules_signature{"generate_rules",
                          {"items", "offsets", "supports", "metric", "min_threshold",
                           "support_only", "threads", "n_transactions"},
                          7,
                          {},
                          true};

bool metric_of(PyObject* name, RuleColumn& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return false;
  if (const auto metric = rule_metric_by_name(std::string_view(text, static_cast<std::size_t>(size)))) {
    out = *metric;
    return true;
  }
  std::string listed;
  for (const auto& [known, column] : kRuleMetrics) {
    if (!listed.empty()) listed += ", ";
    listed += "'" + std::string(known) + "'";
  }
  PyErr_Format(PyExc_ValueError, "metric must be one of %s; got %R", listed.c_str(), name);
  return false;
}

PyObject* generate_rules_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(rules_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array, a[2].array})) return nullptr;
    const std::vector<std::int32_t> items = a.copy<std::int32_t>(0);
    const std::vector<std::int64_t> offsets = a.copy<std::int64_t>(1);
    if (!check_row_offsets(offsets, items.size())) return nullptr;
    RuleRequest request;
    // Ids are only compared and hashed, so their bit patterns serve as they are.
    request.rows = ItemsetCsrView{
        {reinterpret_cast<const std::uint32_t*>(items.data()), items.size()}, offsets};
    const std::vector<double> supports = a.copy<double>(2);
    request.supports = supports;
    if (request.supports.size() != request.rows.size()) {
      PyErr_Format(PyExc_ValueError, "supports must have one entry per row (%zu); got %zu",
                   request.rows.size(), request.supports.size());
      return nullptr;
    }
    if (!metric_of(a[3].object, request.metric)) return nullptr;
    request.min_threshold = a[4].f64;
    request.support_only = a[5].flag;
    request.n_transactions = a[7].present ? a[7].u32 : 0;
    if (request.support_only && request.metric != kSupport) {
      PyErr_Format(PyExc_ValueError,
                   "with support_only=True the metric must be 'support'; got %R", a[3].object);
      return nullptr;
    }

    RuleTable table;
    run_interruptible(InterpreterLock::kReleased, [&] {
      run_with_threads(a[6].u32, [&] { table = generate_rules(request); });
    });
    ResultDict dict;
    if (!dict.ok() || !dict.set("antecedent", adopt_vector(std::move(table.antecedent))) ||
        !dict.set("consequent", adopt_vector(std::move(table.consequent))) ||
        !dict.set("rule", adopt_vector(std::move(table.rule))))
      return nullptr;
    for (std::size_t c = 0; c < kRuleColumns; ++c) {
      const std::string key(kRuleColumnNames[c]);
      if (!dict.set(key.c_str(), adopt_vector(std::move(table.columns[c])))) return nullptr;
    }
    if (!dict.set("missing_row", PyLong_FromLongLong(table.missing_row))) return nullptr;
    return dict.release();
  });
}

}  // namespace

const EntryPoint& generate_rules_entry() {
  static const EntryPoint entry{
      &rules_signature, generate_rules_call,
      "generate_rules(items, offsets, supports, metric, min_threshold, support_only, threads, "
      "n_transactions=0)\n"
      "--\n\n"
      "Association rules X -> Y of an itemset table: row r is items[offsets[r]:offsets[r+1]]\n"
      "(ascending ids, rows distinct) with support supports[r]. For every row Z of 2 or more\n"
      "items and every non-empty proper subset X of Z (Y = Z \\ X), the rule is kept when\n"
      "its metric ('support', 'confidence', 'lift', 'leverage', 'conviction',\n"
      "'zhangs_metric', 'jaccard', 'certainty', 'kulczynski', 'cosine' or\n"
      "'representativity') is >= min_threshold. X and Y must be rows too: otherwise no rule\n"
      "is returned and missing_row is the first such Z. With support_only=True (metric\n"
      "'support' only) they may be missing: their index is -1 and every column but support\n"
      "is NaN. threads bounds the pool (0: all cores). n_transactions (0: unknown), the\n"
      "number of transactions behind the supports, makes confidence and kulczynski round exactly as\n"
      "mlxtend's (which scales both supports by it), so ties at the threshold agree.\n\n"
      "Returns a dict of columns: antecedent, consequent, rule (int64 row indices of X, Y, Z),\n"
      "'antecedent support', 'consequent support', support, confidence, lift,\n"
      "representativity, leverage, conviction, zhangs_metric, jaccard, certainty, kulczynski,\n"
      "cosine (float64), and missing_row (int, -1 when none). Rules come by Z in row order,\n"
      "then by antecedent size from |Z| - 1 down to 1, then by the antecedent's positions in Z\n"
      "in lexicographic order."};
  return entry;
}

}  // namespace tallyfold
