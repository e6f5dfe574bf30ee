// Throughput of the term core on a code-shaped term of about a million nodes
// and on a million-deep chain: rendering, postcard encoding, decoding, release.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "kterm.h"
#include "postcard.h"

using namespace kovel;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}
template <class F>
double timed(F&& f) {
  auto t0 = Clock::now();
  f();
  return seconds_since(t0);
}
double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Generates Python-like source: functions whose bodies hold assignments,
// calls, returns and nested if-blocks. Common names and small integers are
// shared leaves; everything else is fresh.
class CodeGen {
 public:
  explicit CodeGen(unsigned seed) : rng_(seed) {
    for (const char* s : {"self", "None", "x", "y", "result", "len", "print"})
      common_.push_back(leaf("identifier", s));
    for (int i = 0; i < 10; ++i) common_.push_back(leaf("integer", std::to_string(i)));
  }

  KRef module(std::size_t functions) {
    auto b = tb("module");
    for (std::size_t i = 0; i < functions; ++i) {
      if (i) b.nl().nl();
      b.child(function(i));
    }
    return std::move(b).b();
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  static std::string name(char first, std::size_t n) { return std::string(1, first) += std::to_string(n); }
  KRef ident() {
    return pick(3) ? leaf("identifier", name('v', static_cast<std::size_t>(pick(100000))))
                   : common_[static_cast<std::size_t>(pick(7))];
  }
  KRef integer() {
    return pick(2) ? leaf("integer", std::to_string(pick(1000000)))
                   : common_[7 + static_cast<std::size_t>(pick(10))];
  }
  KRef atom() { return pick(2) ? ident() : integer(); }

  KRef call() {
    auto args = tb("argument_list");
    args.write("(");
    int n = pick(4);
    for (int i = 0; i < n; ++i) {
      if (i) args.write(", ");
      args.child(pick(5) == 0 ? call() : atom());
    }
    args.write(")");
    return std::move(tb("call").child(ident()).child(std::move(args).b())).b();
  }

  KRef statement(int depth) {
    switch (depth < 3 ? pick(5) : pick(3)) {
      case 0: return std::move(tb("assignment").child(ident()).write(" = ").child(call())).b();
      case 1: return std::move(tb("expression_statement").child(call())).b();
      case 2: return std::move(tb("return_statement").write("return ").child(atom())).b();
      default: {
        auto cond = std::move(tb("comparison_operator").child(ident()).write(" < ").child(integer())).b();
        return std::move(tb("if_statement").write("if ").child(cond).write(":").child(block(depth + 1))).b();
      }
    }
  }

  KRef block(int depth) {
    auto b = tb("block");
    b.push("    ");
    int n = 1 + pick(5);
    for (int i = 0; i < n; ++i) b.nl().child(statement(depth));
    b.pop();
    return std::move(b).b();
  }

  KRef function(std::size_t i) {
    auto params = tb("parameters");
    params.write("(").child(common_[0]).write(", ").child(ident()).write(")");
    auto b = tb("function_definition");
    b.write("def ").child(leaf("identifier", name('f', i))).child(std::move(params).b());
    b.write(":").child(block(0));
    return std::move(b).b();
  }

  std::mt19937 rng_;
  std::vector<KRef> common_;
};

void count_nodes(const KTerm& root, std::size_t& unique, std::size_t& tree) {
  std::unordered_set<const KTerm*> seen;
  std::vector<const KTerm*> stack{&root};
  tree = 0;
  while (!stack.empty()) {
    const KTerm* t = stack.back();
    stack.pop_back();
    ++tree;
    seen.insert(t);
    for (const KTerm* k : t->children()) stack.push_back(k);
  }
  unique = seen.size();
}

void run(const char* name, const KRef& term) {
  std::vector<double> render, encode, decode, release;
  std::size_t text_size = 0, byte_size = 0;
  for (int i = 0; i < 5; ++i) {
    std::string text, bytes;
    DecodeResult r;
    render.push_back(timed([&] { text = term->coparse(); }));
    encode.push_back(timed([&] { bytes = encode_term(*term); }));
    decode.push_back(timed([&] { r = decode_term(bytes); }));
    if (!r.ok())
      return (void)std::printf("%s: decode failed: %s\n", name, std::string(message(r.error)).c_str());
    release.push_back(timed([&] { r.term = KRef(); }));
    text_size = text.size();
    byte_size = bytes.size();
  }
  const double mb = 1e6;
  double tr = median(render), te = median(encode), td = median(decode), tf = median(release);
  std::printf("%s: text %.2f MB, postcard %.2f MB (median of 5)\n", name, text_size / mb, byte_size / mb);
  std::printf("  render  %8.2f ms  %8.1f MB/s\n", tr * 1e3, text_size / mb / tr);
  std::printf("  encode  %8.2f ms  %8.1f MB/s\n", te * 1e3, byte_size / mb / te);
  std::printf("  decode  %8.2f ms  %8.1f MB/s\n", td * 1e3, byte_size / mb / td);
  std::printf("  release %8.2f ms  (decoded copy)\n", tf * 1e3);
}

}  // namespace

int main() {
  KRef x = leaf("identifier", "x");
  std::printf("leaf(\"identifier\", \"x\"): %zu bytes (header %zu)\n", x->allocated_size(), sizeof(KTerm));

  auto t0 = Clock::now();
  KRef code = CodeGen(42).module(13000);
  double built = seconds_since(t0);
  std::size_t unique = 0, tree = 0;
  count_nodes(*code, unique, tree);
  std::printf("code term: %zu nodes (%zu counting each shared use), built in %.2f ms\n", unique, tree,
              built * 1e3);
  run("code term", code);
  t0 = Clock::now();
  code = KRef();
  std::printf("  release %8.2f ms  (built term)\n\n", seconds_since(t0) * 1e3);

  const std::size_t depth = 1'000'000;
  const std::vector<CmdOrHole> cmds{CmdOrHole::of(write("(")), HOLE, CmdOrHole::of(write(")"))};
  KRef chain = leaf("identifier", "x");
  t0 = Clock::now();
  for (std::size_t i = 0; i < depth; ++i) chain = tuple("t", std::span<const KRef>(&chain, 1), cmds);
  std::printf("chain: %zu nested tuples, built in %.2f ms\n", depth, seconds_since(t0) * 1e3);
  run("chain", chain);
  t0 = Clock::now();
  chain = KRef();
  std::printf("  release %8.2f ms  (built chain)\n", seconds_since(t0) * 1e3);
  return 0;
}
