#include "livesearch.h"

#include <algorithm>
#include <exception>

#include "../unlocked.h"
#include "wordscan.h"

namespace kovel::py::native {

namespace {

// Where each of `words` of two bytes or more starts in `src`, found in one
// pass for all of them. (A byte is mostly punctuation, common in any source:
// it is counted for each pattern, only as far as its rarest text so far.)
std::vector<std::vector<std::uint32_t>> starts_of(std::string_view src,
                                                  std::span<const std::string_view> words) {
  std::vector<std::vector<std::uint32_t>> at(words.size());
  std::vector<std::string_view> longer;
  std::vector<std::size_t> index;  // of each of `longer` among `words`
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (words[k].size() > 1) {
      longer.push_back(words[k]);
      index.push_back(k);
    }
  }
  for (std::size_t from = 0; from < longer.size(); from += wordscan::kPerPass) {
    const std::size_t count = std::min(longer.size() - from, wordscan::kPerPass);
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    wordscan::each_start(src, std::span(longer).subspan(from, count), all, [&](std::size_t k, std::size_t i) {
      at[index[from + k]].push_back(static_cast<std::uint32_t>(i));
      return all;
    });
  }
  return at;
}

// `texts` are the pattern's required texts, longest first, as indices into
// `words` and `starts` (where each text of two bytes or more starts in `src`);
// the starts of a one-byte text, when it is the rarest, go in `bytes`.
Want want_of(const Pattern& p, std::span<const std::size_t> texts, std::span<const std::string_view> words,
             const std::vector<std::vector<std::uint32_t>>& starts, std::string_view src,
             std::vector<std::uint32_t>& bytes) {
  Want w{&p, {}, tags::kInline, {}, {}, 0, p.empty()};
  if (!p.empty()) {
    const PatternItem& r = p.root();
    if (r.kind == PatternItem::Kind::Node || r.kind == PatternItem::Kind::Leaf) {
      w.root_tag = r.tag;
      w.root_id = tags::intern(r.tag);
    }
    const auto run_at = [&](std::size_t i) {
      return i < r.kids.size() && p.item(r.kids[i]).kind == PatternItem::Kind::Run;
    };
    for (std::size_t i = 0; i < r.kids.size(); ++i) {
      const PatternItem& kid = p.item(r.kids[i]);
      // (A comma beside a run may be missing: a run of nothing takes it along.)
      const bool taken = kid.kind == PatternItem::Kind::Leaf && kid.text == "," &&
                         ((i > 0 && run_at(i - 1)) || run_at(i + 1));
      if (kid.kind == PatternItem::Kind::Node ||
          (kid.kind == PatternItem::Kind::Leaf && !kid.optional && !taken))
        w.kid_tags.push_back(kid.tag);
    }
  }
  // The rarest text; among equally rare ones the first (the longest).
  bool first = true;
  for (const std::size_t t : texts) {
    const std::string_view word = words[t];
    if (word.empty()) continue;
    std::span<const std::uint32_t> at = starts[t];
    std::vector<std::uint32_t> counted;
    if (word.size() == 1) {
      const std::size_t most = first ? SIZE_MAX : w.occ.size();
      wordscan::each_byte(src, word[0], [&](std::size_t i) {
        counted.push_back(static_cast<std::uint32_t>(i));
        return counted.size() < most;
      });
      at = counted;
    }
    if (at.empty()) {
      w.absent = true;
      break;
    }
    if (first || at.size() < w.occ.size()) {
      if (word.size() == 1) {
        bytes = std::move(counted);
        at = bytes;
      }
      w.occ = at;
      w.len = static_cast<std::uint32_t>(word.size());
      first = false;
    }
  }
  return w;
}

// Turns matches found in `t`'s term into matches in the whole term: spans
// past the text before it, paths below its own. `last` is the previous
// match's full path (per pattern), which the next one's is cut from.
void place(const Piece& t, std::vector<Found>& found, std::vector<std::uint64_t>& last,
           std::vector<Found>& out) {
  std::vector<std::uint64_t> rel, full;
  for (Found& f : found) {
    next_path(rel, f);
    full = t.path;
    full.insert(full.end(), rel.begin(), rel.end());
    std::size_t keep = 0;
    while (keep < last.size() && keep < full.size() && last[keep] == full[keep]) ++keep;
    f.keep = keep;
    f.tail.assign(full.begin() + static_cast<std::ptrdiff_t>(keep), full.end());
    f.start += t.chars;
    f.end += t.chars;
    for (std::uint64_t& o : f.offsets) o += t.chars;
    last = std::move(full);
    out.push_back(std::move(f));
  }
}

bool words_arg(PyObject* o, std::size_t count, std::vector<std::vector<std::string_view>>& out) {
  const char* const wrong = "words must be a list holding a tuple of bytes for each pattern";
  if (!PyList_Check(o) || static_cast<std::size_t>(PyList_Size(o)) != count) {
    PyErr_SetString(PyExc_TypeError, wrong);
    return false;
  }
  out.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    PyObject* t = PyList_GetItem(o, static_cast<Py_ssize_t>(k));
    if (!PyTuple_Check(t)) {
      PyErr_SetString(PyExc_TypeError, wrong);
      return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(t); ++i) {
      PyObject* b = PyTuple_GetItem(t, i);
      if (!PyBytes_Check(b)) {
        PyErr_SetString(PyExc_TypeError, wrong);
        return false;
      }
      out[k].emplace_back(PyBytes_AsString(b), static_cast<std::size_t>(PyBytes_Size(b)));
    }
  }
  return true;
}

}  // namespace

Wants::Wants(std::span<const Compiled* const> compiled, std::vector<std::vector<std::string_view>>& words,
             std::string_view src) {
  // Each distinct text is looked for once, all in one pass.
  std::vector<std::vector<std::size_t>> texts(compiled.size());
  for (std::size_t k = 0; k < compiled.size(); ++k) {
    std::stable_sort(words[k].begin(), words[k].end(), [](auto a, auto b) { return a.size() > b.size(); });
    for (const std::string_view word : words[k]) {
      const auto at = std::find(distinct.begin(), distinct.end(), word);
      texts[k].push_back(static_cast<std::size_t>(at - distinct.begin()));
      if (at == distinct.end()) distinct.push_back(word);
    }
  }
  starts = starts_of(src, distinct);
  bytes.resize(compiled.size());
  for (std::size_t k = 0; k < compiled.size(); ++k)
    wants.push_back(want_of(compiled[k]->pattern, texts[k], distinct, starts, src, bytes[k]));
}

namespace {

bool read_patterns(PyObject* patterns, PyObject* words, PatternArgs& out) {
  if (!PyList_Check(patterns)) {
    PyErr_SetString(PyExc_TypeError, "patterns must be a list of compiled patterns");
    return false;
  }
  out.programs = PyRef(PyList_GetSlice(patterns, 0, PyList_Size(patterns)));
  if (!out.programs) return false;
  if (!PyList_Check(words)) {
    PyErr_SetString(PyExc_TypeError, "words must be a list");
    return false;
  }
  out.word_list = PyRef(PyList_GetSlice(words, 0, PyList_Size(words)));
  if (!out.word_list) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(out.programs.get()); ++i) {
    const Compiled* c = compiled_arg(PyList_GetItem(out.programs.get(), i));
    if (!c) return false;
    out.compiled.push_back(c);
  }
  return words_arg(out.word_list.get(), out.compiled.size(), out.words);
}

}  // namespace

bool patterns_arg(PyObject* patterns, PyObject* words, PatternArgs& out) noexcept {
  bool ok = false;
  return guarded_void([&] { ok = read_patterns(patterns, words, out); }) && ok;
}

PyObject* search_pieces(std::span<const Compiled* const> compiled, std::span<const Piece> pieces) {
  return guarded([&]() -> PyObject* {
    std::vector<std::vector<Found>> found(compiled.size());
    if (!run_unlocked([&](const StopCheck* stop) {
          std::vector<const Pattern*> patterns;
          for (const Compiled* c : compiled) patterns.push_back(&c->pattern);
          Pacer pace(stop);
          Searcher searcher(patterns, &pace);
          std::vector<std::vector<std::uint64_t>> last(compiled.size());
          for (const Piece& t : pieces) {
            std::vector<std::vector<Found>> here = searcher.run(*t.term);
            attach_spans(*t.term, std::span(here), stop);
            for (std::size_t k = 0; k < here.size(); ++k) place(t, here[k], last[k], found[k]);
          }
        }))
      return nullptr;
    PyRef lists(PyList_New(static_cast<Py_ssize_t>(compiled.size())));
    if (!lists) return nullptr;
    for (std::size_t k = 0; k < compiled.size(); ++k) {
      PyObject* list = match_list(*compiled[k], found[k]);
      if (!list) return nullptr;
      PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(k), list);
    }
    return lists.release();
  });
}

}  // namespace kovel::py::native
