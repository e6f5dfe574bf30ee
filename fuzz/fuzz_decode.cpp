// Arbitrary bytes into the decoder: it must fail cleanly or return a term
// whose every accessor, rendering and release are well behaved.
#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "postcard.h"
#include "skim.h"

using namespace kovel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  // The skim and the outline read the same bytes without building anything;
  // the input read as an outline must be refused or nest.
  const std::vector<SkimNode> skim = skim_term(bytes);
  for (std::size_t i = 0; i < skim.size(); ++i) CHECK(skim[i].next > i && skim[i].end <= size);
  (void)outline_term(bytes, skim, 8);
  for (const OutlineNode& n : read_outline(bytes, size, size))
    CHECK(n.end <= size && n.start + n.length <= size);
  DecodeResult r = decode_term(bytes);
  if (!r.ok()) {
    CHECK(!message(r.error).empty());
    return 0;
  }
  CHECK(r.term->use_count() == 1);
  // Visit every node (no sharing: decoded trees are fresh) and read it all.
  std::vector<const KTerm*> todo{r.term.get()};
  std::size_t nodes = 0;
  while (!todo.empty()) {
    const KTerm* t = todo.back();
    todo.pop_back();
    ++nodes;
    CHECK(t->use_count() == 1);
    (void)t->tag();
    const auto cmds = t->cmd_values();
    CHECK(cmds.size() == t->cmd_count());
    if (t->is_quote_like()) {
      CHECK(t->children().size() == 1);
      CHECK(&t->term() == t->children()[0]);
      (void)t->lang();
      (void)t->at();
    } else {
      CHECK(t->lang().empty() && !t->at());
    }
    for (const KTerm* k : t->children()) todo.push_back(k);
  }
  CHECK(nodes <= size);
  if (fuzz::render_cost(*r.term, 1 << 13) >= (1 << 13)) return 0;  // exponential by design
  try {
    const std::string text = r.term->coparse();
    CHECK(skim.empty() || skim[0].length == text.size());
  } catch (const Panic&) {
    // A Tuple with more HOLEs than children: allowed to decode, not to render.
  }
  return 0;
}
