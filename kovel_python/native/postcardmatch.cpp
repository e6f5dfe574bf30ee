// postcardmatch: search a stored term (its postcard bytes) for patterns
// without decoding all of it.
//
// A parsed source's term renders as the source, and each of its subterms
// alone as the bytes it stands for. So, as a search of a fresh parse enters
// only the nodes whose bytes hold each live pattern's rarest text
// (`tsmatch.cpp`), a search of the stored term walks its outline, kept
// beside it (`skim.h`), and decodes only the candidates and the small
// subtrees that can hold a match: the same matches, at a fraction of the
// decoding.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "../unlocked.h"
#include "livesearch.h"
#include "postcard.h"
#include "skim.h"

namespace kovel::py::native {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Whether the children of `nodes[i]` (listed) have `tags` in this order,
// among others (what a candidate needs, as tsmatch's has_kids).
bool has_kids(Bytes data, std::span<const OutlineNode> nodes, std::size_t i,
              const std::vector<std::string_view>& tags) {
  std::size_t k = 0;
  for (std::size_t c = i + 1; k < tags.size() && c < nodes[i].next; c = nodes[c].next)
    k += tag_at(data, nodes[c].begin) == tags[k];
  return k == tags.size();
}

// The subtrees of the stored term that can hold a match of one of `wants`,
// decoded, in document order; nullopt when one does not decode or the
// outline is not the term's.
std::optional<std::vector<Piece>> live_pieces(Bytes data, std::span<const OutlineNode> nodes,
                                              std::string_view src, std::vector<Want>& wants,
                                              const StopCheck* stop) {
  std::vector<Piece> out;
  std::uint64_t at = 0, chars = 0;
  std::vector<std::uint64_t> path;  // of the node last entered
  std::vector<std::size_t> ends;    // of the subtrees entered, innermost last
  for (std::size_t i = 0; i < nodes.size();) {
    const OutlineNode& n = nodes[i];
    while (!ends.empty() && ends.back() <= i) {
      ends.pop_back();
      path.pop_back();
    }
    if (i > 0) path.back() = n.ordinal;
    bool live = false, candidate = false;
    std::string_view tag;
    for (Want& w : wants) {
      if (!w.live(n.start, std::uint64_t{n.start} + n.length)) continue;
      live = true;
      if (candidate) continue;
      if (!w.root_tag.empty() && tag.empty()) tag = tag_at(data, n.begin);
      if (w.root_tag.empty() || w.root_tag == tag) candidate = has_kids(data, nodes, i, w.kid_tags);
    }
    const bool listed = n.next > i + 1;  // its children follow; else it is decoded whole
    if (!live) {
      i = n.next;
    } else if (candidate || !listed) {
      if (n.start < at) return std::nullopt;
      DecodeResult r = decode_term(data.subspan(n.begin, n.end - n.begin), stop);
      if (!r.ok()) return std::nullopt;
      chars += code_points(src.substr(at, n.start - at));
      at = n.start;
      out.push_back(Piece{i == 0 ? std::vector<std::uint64_t>{} : path, chars, std::move(r.term)});
      i = n.next;
    } else {
      ends.push_back(n.next);
      path.push_back(0);
      ++i;
    }
  }
  return out;
}

// postcard_match(blob, outline, postcard, source, patterns, words)
PyObject* fn_postcard_match(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("postcard_match", nargs, 6)) return nullptr;
  if (!PyBytes_Check(args[0]) || !PyBytes_Check(args[3])) {
    PyErr_SetString(PyExc_TypeError, "blob and source must be bytes");
    return nullptr;
  }
  const Py_ssize_t size = PyBytes_Size(args[0]);
  const Py_ssize_t outline = PyLong_AsSsize_t(args[1]);
  const Py_ssize_t postcard = outline == -1 && PyErr_Occurred() ? -1 : PyLong_AsSsize_t(args[2]);
  if (postcard == -1 && PyErr_Occurred()) return nullptr;
  if (outline < 0 || outline > postcard || postcard > size) {
    PyErr_SetString(PyExc_ValueError,
                    "the outline and the postcard bytes must lie in the blob, in this order");
    return nullptr;
  }
  PatternArgs pats;
  if (!patterns_arg(args[4], args[5], pats)) return nullptr;
  const auto* blob = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(args[0]));
  const Bytes lines(blob + outline, static_cast<std::size_t>(postcard - outline));
  const Bytes data(blob + postcard, static_cast<std::size_t>(size - postcard));
  const std::string_view src(PyBytes_AsString(args[3]), static_cast<std::size_t>(PyBytes_Size(args[3])));
  std::optional<std::vector<Piece>> pieces;
  if (!run_unlocked([&](const StopCheck* stop) {
        const std::vector<OutlineNode> nodes = read_outline(lines, data.size(), src.size());
        if (nodes.empty() || src.size() > UINT32_MAX) return;  // decode it whole
        Wants wants(pats.compiled, pats.words, src);
        pieces = live_pieces(data, nodes, src, wants.wants, stop);
      }))
    return nullptr;
  if (!pieces) Py_RETURN_NONE;
  return search_pieces(pats.compiled, *pieces);
}

// postcard_outline(postcard, min_length)
PyObject* fn_postcard_outline(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("postcard_outline", nargs, 2)) return nullptr;
  if (!PyBytes_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "postcard must be bytes");
    return nullptr;
  }
  const std::size_t min_length = PyLong_AsSize_t(args[1]);
  if (min_length == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  const Bytes data(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(args[0])),
                   static_cast<std::size_t>(PyBytes_Size(args[0])));
  std::string out;
  if (!run_unlocked([&](const StopCheck*) {
        const std::vector<SkimNode> nodes = skim_term(data);
        const auto least = static_cast<std::uint32_t>(std::min<std::size_t>(min_length, UINT32_MAX));
        out = outline_bytes(outline_term(data, nodes, least));
      }))
    return nullptr;
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace

PyMethodDef kPostcardMatchMethods[] = {
    {"postcard_match", as_cfunc(fn_postcard_match), METH_FASTCALL,
     "postcard_match(blob, outline, postcard, source, patterns, words, /)\n--\n\n"
     "Search the term parsed from the UTF-8 bytes ``source`` for each compiled\n"
     "pattern of the list ``patterns``, decoding only the subtrees that can\n"
     "hold a match (``words`` as for ``ts_match``): per pattern the items\n"
     "``match_all`` gives for the whole term. The term's outline\n"
     "(``postcard_outline``) is ``blob[outline:postcard]`` and its postcard\n"
     "bytes ``blob[postcard:]``. None when the outline is not one of a term of\n"
     "``source`` or a part does not decode: decode it whole then.\n"},
    {"postcard_outline", as_cfunc(fn_postcard_outline), METH_FASTCALL,
     "postcard_outline(postcard, min_length, /)\n--\n\n"
     "The outline of the term of ``postcard`` for ``postcard_match``: its nodes\n"
     "of ``min_length`` bytes of text or more and their children. Empty when\n"
     "the term does not lay out as a parsed source does (it holds quotes or\n"
     "prefixes) or the bytes are not a term.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
