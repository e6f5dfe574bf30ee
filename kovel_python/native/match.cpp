// Patterns for kovel.quasi: a pattern compiled once into a capsule, one call
// that finds every match in a term, and one that puts the replacements in.
// Python objects are made only for the matches and their bindings.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../unlocked.h"
#include "compiled.h"
#include "walk.h"

namespace kovel::py::native {

namespace {

constexpr const char* kCapsule = "kovel._native.Pattern";

void destroy_capsule(PyObject* capsule) {
  delete static_cast<Compiled*>(PyCapsule_GetPointer(capsule, kCapsule));
}

bool bad_spec(PyObject* o) {
  PyErr_Format(PyExc_ValueError, "not a pattern item: %R", o);
  return false;
}

bool text_of(PyObject* o, std::string_view& out) {
  Py_ssize_t n;
  const char* s = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &n) : nullptr;
  if (!s) return PyErr_Occurred() ? false : bad_spec(o);
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

// The first field of a pattern item, mirrored by kovel.quasi.wire.PatternItem:
// (Hole, name) takes one node, (Run, name) any number of siblings (name None
// for neither binding), (Leaf, tag, text), (Node, tag, items), (Optional,
// tag, text) a leaf the term may lack, (Token, tag, text) a leaf the grammar
// does not name, which it may spell otherwise.
enum SpecItem : long {
  kSpecHole = 0,
  kSpecRun = 1,
  kSpecLeaf = 2,
  kSpecNode = 3,
  kSpecOptional = 4,
  kSpecToken = 5,
};

// How deep a pattern may nest: compiling and matching recurse once per level,
// and a process whose Python recursion limit was raised must not overflow
// the C stack on either.
constexpr int kMostDepth = 4096;

// One item, `depth` levels down.
bool compile_item(PyObject* o, Compiled& c, std::map<std::string, int, std::less<>>& slots,
                  std::uint32_t& out, int depth = 0) {
  if (depth > kMostDepth) {
    PyErr_SetString(PyExc_RecursionError, "the pattern nests too deeply");
    return false;
  }
  if (!PyTuple_Check(o) || PyTuple_Size(o) < 2) return bad_spec(o);
  const long op = PyLong_AsLong(PyTuple_GetItem(o, 0));
  if (op == -1 && PyErr_Occurred()) return false;
  PyObject* a = PyTuple_GetItem(o, 1);
  if (op == kSpecHole || op == kSpecRun) {
    int slot = -1;
    if (a != Py_None) {
      std::string_view name;
      if (!text_of(a, name)) return false;
      auto it = slots.find(name);
      if (it == slots.end()) {
        it = slots.emplace(std::string(name), static_cast<int>(c.names.size())).first;
        c.names.push_back(Py_NewRef(a));
      }
      slot = it->second;
    }
    out = op == kSpecHole ? c.pattern.hole(slot) : c.pattern.run(slot);
    return true;
  }
  const bool leaf = op == kSpecLeaf || op == kSpecOptional || op == kSpecToken;
  if ((!leaf && op != kSpecNode) || PyTuple_Size(o) != 3) return bad_spec(o);
  std::string_view tag;
  if (!text_of(a, tag)) return false;
  PyObject* b = PyTuple_GetItem(o, 2);
  if (leaf) {
    std::string_view text;
    if (!text_of(b, text)) return false;
    out = c.pattern.leaf(tag, text, op == kSpecOptional, op == kSpecToken);
    return true;
  }
  if (!PyTuple_Check(b)) return bad_spec(o);
  std::vector<std::uint32_t> kids;
  for (Py_ssize_t i = 0; i < PyTuple_Size(b); ++i) {
    std::uint32_t k;
    if (!compile_item(PyTuple_GetItem(b, i), c, slots, k, depth + 1)) return false;
    kids.push_back(k);
  }
  out = c.pattern.node(tag, std::move(kids));
  return true;
}

// compile_pattern(spec, siblings)
// The str items of a tuple of named words; false with TypeError otherwise.
bool words_arg(PyObject* o, std::vector<std::string>& out) {
  if (!PyTuple_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "argument 'named': expected a tuple of str");
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(o);
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view w;
    if (!str_arg(PyTuple_GetItem(o, i), "named", w)) return false;
    out.emplace_back(w);
  }
  return true;
}

PyObject* fn_compile_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 && !arg_count("compile_pattern", nargs, 3)) return nullptr;
  return guarded([&]() -> PyObject* {
    auto c = std::make_unique<Compiled>();
    if (nargs == 3) {
      std::vector<std::string> words;
      if (!words_arg(args[2], words)) return nullptr;
      c->pattern.name_words(std::move(words));
    }
    c->siblings = Py_NewRef(args[1]);
    std::map<std::string, int, std::less<>> slots;
    std::uint32_t root;
    if (!compile_item(args[0], *c, slots, root)) return nullptr;
    PyObject* capsule = PyCapsule_New(c.get(), kCapsule, destroy_capsule);
    if (capsule) c.release();
    return capsule;
  });
}

}  // namespace

const Compiled* compiled_arg(PyObject* o) {
  if (!PyCapsule_IsValid(o, kCapsule)) {
    PyErr_SetString(PyExc_TypeError, "argument 'pattern': expected a pattern from compile_pattern()");
    return nullptr;
  }
  return static_cast<const Compiled*>(PyCapsule_GetPointer(o, kCapsule));
}

namespace {

PyObject* binding_value(const Compiled& c, const Binding& b) {
  if (b.kind == Binding::Kind::Node) return new_kterm(KRef::share(b.node));
  const std::vector<const KTerm*> items = run_items(b, c.pattern);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* t = new_kterm(KRef::share(items[i]));
    if (!t || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t) < 0) return nullptr;
  }
  PyRef raw(new_kterm(run_term(b)));
  if (!raw) return nullptr;
  return PyObject_CallFunctionObjArgs(c.siblings, list.get(), raw.get(), nullptr);
}

// (path, term, start, end, bindings, offsets): offsets None, or for a match
// whose bindings span lines, each binding's start in the root's text.
PyObject* match_item(const Compiled& c, const Found& f, PyObject* path) {
  PyRef env(PyDict_New());
  PyRef offsets(f.multiline ? PyDict_New() : Py_NewRef(Py_None));
  if (!env || !offsets) return nullptr;
  for (std::size_t s = 0; s < f.bindings.size(); ++s) {
    const Binding& b = f.bindings[s];
    if (b.kind == Binding::Kind::None) continue;
    PyRef v(binding_value(c, b));
    if (!v || PyDict_SetItem(env.get(), c.names[s], v.get()) < 0) return nullptr;
    if (!f.multiline) continue;
    PyRef at(PyLong_FromUnsignedLongLong(f.offsets[s]));
    if (!at || PyDict_SetItem(offsets.get(), c.names[s], at.get()) < 0) return nullptr;
  }
  PyRef term(new_kterm(KRef::share(f.node)));
  PyRef start(term ? PyLong_FromUnsignedLongLong(f.start) : nullptr);
  PyRef end(start ? PyLong_FromUnsignedLongLong(f.end) : nullptr);
  if (!end) return nullptr;
  return PyTuple_Pack(6, path, term.get(), start.get(), end.get(), env.get(), offsets.get());
}

}  // namespace

// The items of `found` (one search's matches, in document order).
PyObject* match_list(const Compiled& c, const std::vector<Found>& found) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(found.size())));
  PyRef root_path(out ? new_path(nullptr, 0, true) : nullptr);
  if (!root_path) return nullptr;
  // Each match's path is the previous one's cut to `keep` steps, then
  // `tail`: paths share their common parts, as a walk's do.
  std::vector<PyRef> chain;  // chain[k]: the path of the first k + 1 steps
  for (std::size_t i = 0; i < found.size(); ++i) {
    const Found& f = found[i];
    chain.resize(std::min<std::size_t>(f.keep, chain.size()));
    for (const std::uint64_t step : f.tail) {
      PyObject* p = new_path(chain.empty() ? nullptr : chain.back().get(), step);
      if (!p) return nullptr;
      chain.emplace_back(p);
    }
    PyObject* item = match_item(c, f, chain.empty() ? root_path.get() : chain.back().get());
    if (!item || PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return out.release();
}

namespace {

// Runs the searches of `programs` over `t` (without the lock once they take
// long; Ctrl-C stops them) and attaches their spans, rendering `t` once.
// False with an exception set.
bool search_all(std::span<const Compiled* const> programs, PyObject* t_obj, const KTerm& t, bool outermost,
                std::vector<std::vector<Found>>& found) {
  const KRef root = KRef::share(&t);
  bool unrenderable = false;
  found.assign(programs.size(), {});
  if (!run_unlocked([&](const StopCheck* stop) {
        if (outermost || programs.size() == 1) {
          for (std::size_t i = 0; i < programs.size(); ++i)
            found[i] = search(programs[i]->pattern, *root, outermost, stop);
        } else {
          std::vector<const Pattern*> patterns;
          for (const Compiled* c : programs) patterns.push_back(&c->pattern);
          found = search_many(patterns, *root, stop);
        }
        try {
          attach_spans(*root, std::span(found), stop);
        } catch (const Panic&) {
          unrenderable = true;
        }
      }))
    return false;
  if (unrenderable) {
    // The same error as rendering the term gives.
    PyRef s(PyObject_Str(t_obj));
    if (s) PyErr_SetString(PyExc_RuntimeError, "the term cannot be rendered");
    return false;
  }
  return true;
}

// match_all(pattern, t, outermost)
PyObject* fn_match_all(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("match_all", nargs, 3)) return nullptr;
  const Compiled* c = compiled_arg(args[0]);
  if (!c) return nullptr;
  const KTerm* t = term_arg(args[1], "t");
  if (!t) return nullptr;
  const int outermost = PyObject_IsTrue(args[2]);
  if (outermost < 0) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<std::vector<Found>> found;
    if (!search_all(std::span(&c, 1), args[1], *t, outermost != 0, found)) return nullptr;
    return match_list(*c, found[0]);
  });
}

// match_many(patterns, t): match_all(p, t, False) for each of a list of
// patterns, the term rendered once for all their spans.
PyObject* fn_match_many(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("match_many", nargs, 2)) return nullptr;
  if (!PyList_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "match_many() takes a list of compiled patterns");
    return nullptr;
  }
  const KTerm* t = term_arg(args[1], "t");
  if (!t) return nullptr;
  return guarded([&]() -> PyObject* {
    // The list holds its patterns while we work: ours is a copy of it.
    PyRef held(PyList_GetSlice(args[0], 0, PyList_Size(args[0])));
    if (!held) return nullptr;
    std::vector<const Compiled*> programs;
    for (Py_ssize_t i = 0; i < PyList_Size(held.get()); ++i) {
      const Compiled* c = compiled_arg(PyList_GetItem(held.get(), i));
      if (!c) return nullptr;
      programs.push_back(c);
    }
    std::vector<std::vector<Found>> found;
    if (!search_all(programs, args[1], *t, false, found)) return nullptr;
    PyRef out(PyList_New(static_cast<Py_ssize_t>(programs.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < programs.size(); ++i) {
      PyObject* list = match_list(*programs[i], found[i]);
      if (!list || PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), list) < 0) return nullptr;
    }
    return out.release();
  });
}

// replace_all(t, paths, news): the paths in document order, none inside another.
PyObject* fn_replace_all(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("replace_all", nargs, 3)) return nullptr;
  const KTerm* t = term_arg(args[0], "t");
  if (!t) return nullptr;
  if (!PyList_Check(args[1]) || !PyList_Check(args[2]) || PyList_Size(args[1]) != PyList_Size(args[2])) {
    PyErr_SetString(PyExc_TypeError, "replace_all() takes two lists of the same length");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyList_Size(args[1]);
    std::vector<std::vector<std::uint64_t>> paths(static_cast<std::size_t>(n));
    std::vector<KRef> news;
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::vector<std::uint64_t>& p = paths[static_cast<std::size_t>(i)];
      if (!path_arg(PyList_GetItem(args[1], i), p)) return nullptr;
      if (existing_prefix(*t, p) < p.size()) {
        PyErr_Format(PyExc_IndexError, "path %R does not exist", PyList_GetItem(args[1], i));
        return nullptr;
      }
      if (i) {
        const auto& q = paths[static_cast<std::size_t>(i - 1)];
        const bool inside = q.size() <= p.size() && std::equal(q.begin(), q.end(), p.begin());
        if (inside || !(q < p)) {
          PyErr_Format(PyExc_ValueError, "path %R is not after the previous one, outside it",
                       PyList_GetItem(args[1], i));
          return nullptr;
        }
      }
      const KTerm* repl = term_arg(PyList_GetItem(args[2], i), "news");
      if (!repl) return nullptr;
      news.push_back(KRef::share(repl));
    }
    return new_kterm(replace_paths(*t, paths, news));
  });
}

// dedent(t, indent)
PyObject* fn_dedent(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("dedent", nargs, 2)) return nullptr;
  const KTerm* t = term_arg(args[0], "t");
  if (!t) return nullptr;
  std::string_view indent;
  if (!str_arg(args[1], "indent", indent)) return nullptr;
  return guarded([&] { return new_kterm(dedent(*t, indent)); });
}

// is_token(t), is_comment(t): the matcher's own tests, for the rewrites that
// must pass over what it passed over.
PyObject* fn_is_token(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? PyBool_FromLong(is_token(*t)) : nullptr;
}

PyObject* fn_is_comment(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? PyBool_FromLong(is_comment(*t)) : nullptr;
}

PyObject* fn_reads_alike(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("reads_alike", nargs, 2)) return nullptr;
  const KTerm* a = term_arg(args[0], "a");
  const KTerm* b = a ? term_arg(args[1], "b") : nullptr;
  return b ? PyBool_FromLong(reads_alike(*a, *b)) : nullptr;
}

PyObject* fn_is_statement(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? PyBool_FromLong(is_statement(*t)) : nullptr;
}

PyObject* fn_is_comment_tag(PyObject*, PyObject* arg) {
  std::string_view tag;
  if (!str_arg(arg, "tag", tag)) return nullptr;
  return PyBool_FromLong(is_comment_tag(tag));
}

PyObject* fn_spells(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("spells", nargs, 2)) return nullptr;
  std::string_view text, word;
  if (!str_arg(args[0], "text", text) || !str_arg(args[1], "word", word)) return nullptr;
  return PyBool_FromLong(spells(text, word));
}

// pattern_schema(): the wire constants as this file reads them, for a test
// that they are the ones kovel.quasi.wire writes.
PyObject* fn_pattern_schema(PyObject*, PyObject*) {
  return Py_BuildValue("{s{slslslslslsl}s(ssssss)}", "items", "hole", kSpecHole, "run", kSpecRun, "leaf",
                       kSpecLeaf, "node", kSpecNode, "optional", kSpecOptional, "token", kSpecToken,
                       "match_fields", "path", "term", "start", "end", "bindings", "offsets");
}

}  // namespace

PyMethodDef kMatchMethods[] = {
    {"match_many", as_cfunc(fn_match_many), METH_FASTCALL,
     "match_many(patterns, t, /)\n--\n\nmatch_all(p, t, False) for each of a list of patterns, rendering t "
     "once."},
    {"is_token", fn_is_token, METH_O,
     "is_token(t, /)\n--\n\nA node the matcher may pass over: a comment, or a childless node that renders as "
     "its tag."},
    {"reads_alike", as_cfunc(fn_reads_alike), METH_FASTCALL,
     "reads_alike(a, b, /)\n--\n\nWhether two bindings of one metavariable say the same thing (as the "
     "matcher "
     "compares them)."},
    {"is_statement", fn_is_statement, METH_O,
     "is_statement(t, /)\n--\n\nA statement, declaration or block: what a pattern ending with a label's `:` "
     "passes over after it."},
    {"is_comment_tag", fn_is_comment_tag, METH_O,
     "is_comment_tag(tag, /)\n--\n\nWhether nodes of this tag are comments (as is_comment decides)."},
    {"spells", as_cfunc(fn_spells), METH_FASTCALL,
     "spells(text, word, /)\n--\n\nWhether text spells a word but for spacing and the case of ASCII "
     "letters, as a pattern's respellable leaf matches."},
    {"is_comment", fn_is_comment, METH_O,
     "is_comment(t, /)\n--\n\nA comment, in any grammar: its tag (looked through quotes) names one."},
    {"pattern_schema", fn_pattern_schema, METH_NOARGS,
     "pattern_schema()\n--\n\nThe codes of pattern items and the fields of a match, as read here."},
    {"compile_pattern", as_cfunc(fn_compile_pattern), METH_FASTCALL,
     "compile_pattern(spec, siblings, named=(), /)\n--\n\nA pattern compiled for match_all; named: the "
     "tags of named nodes that render as their tag (`this`), no tokens to it."},
    {"match_all", as_cfunc(fn_match_all), METH_FASTCALL,
     "match_all(pattern, t, outermost, /)\n--\n\n"
     "Every match in t: (path, term, start, end, bindings, offsets), in document order."},
    {"dedent", as_cfunc(fn_dedent), METH_FASTCALL,
     "dedent(t, indent, /)\n--\n\nt with indent taken off the start of its later lines."},
    {"replace_all", as_cfunc(fn_replace_all), METH_FASTCALL,
     "replace_all(t, paths, news, /)\n--\n\nt with the node at each path replaced."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
