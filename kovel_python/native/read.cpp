// Reading one node: its kind, tag, children, commands and quote fields, and
// comparing two terms. Each reader costs O(size of the node).
#include <functional>
#include <iterator>
#include <string>

#include "native.h"

namespace kovel::py::native {

namespace {

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

PyObject* fn_kind(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? Py_NewRef(names().variant[static_cast<int>(t->variant())]) : nullptr;
}

// Tags repeat (a grammar has a few hundred), so their str objects are cached
// in a small direct-mapped table: a hit costs a hash and a compare instead of
// decoding and allocating.
PyObject* tag_text(std::string_view s) {
  struct Entry {
    std::string key;
    PyObject* value = nullptr;
  };
  static Entry cache[512];
  if (s.size() > 64) return text(s);
  Entry& e = cache[std::hash<std::string_view>{}(s) % std::size(cache)];
  if (e.value && e.key == s) return Py_NewRef(e.value);
  PyObject* v = text(s);
  if (!v) return nullptr;
  e.key.assign(s);
  PyObject* old = e.value;
  e.value = Py_NewRef(v);
  Py_XDECREF(old);
  return v;
}

PyObject* fn_tag(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? guarded([&] { return tag_text(t->tag()); }) : nullptr;
}

PyObject* fn_children(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  const auto kids = t->children();
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(kids.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < kids.size(); ++i) {
    PyObject* k = new_kterm(KRef::share(kids[i]));
    if (!k || PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), k) < 0) return nullptr;
  }
  return out.release();
}

// One command as an (op, text) pair.
PyObject* command_pair(const CmdView& v) {
  const Names& n = names();
  if (v.hole) return PyTuple_Pack(2, n.op[kHole], n.empty);
  PyObject* op = n.op[static_cast<int>(v.kind)];  // StrCmd::Kind is Write, NL, Push, Pop
  if (v.kind == StrCmd::Kind::NL || v.kind == StrCmd::Kind::Pop) return PyTuple_Pack(2, op, n.empty);
  PyRef s(text(v.text));
  return s ? PyTuple_Pack(2, op, s.get()) : nullptr;
}

PyObject* fn_commands(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(t->cmd_count())));
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (CmdCursor c = t->cmds(); !c.done(); ++i) {
    PyObject* pair = command_pair(c.next());
    if (!pair || PyTuple_SetItem(out.get(), i, pair) < 0) return nullptr;
  }
  return out.release();
}

PyObject* fn_index(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  return t->is_quote_like() ? PyLong_FromLong(t->index()) : Py_NewRef(Py_None);
}

PyObject* fn_lang(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  return t->is_quote_like() ? text(t->lang()) : Py_NewRef(Py_None);
}

PyObject* fn_at(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  const std::optional<Range> at = t->at();
  if (!at) return Py_NewRef(Py_None);
  PyRef start(PyLong_FromUnsignedLongLong(at->start));
  PyRef end(PyLong_FromUnsignedLongLong(at->end));
  return start && end ? PyTuple_Pack(2, start.get(), end.get()) : nullptr;
}

// Both arguments as terms, or false with the exception set.
bool two_terms(const char* fn, PyObject* const* args, Py_ssize_t nargs, const KTerm*& a, const KTerm*& b) {
  return arg_count(fn, nargs, 2) && (a = term_arg(args[0], "a")) && (b = term_arg(args[1], "b"));
}

PyObject* fn_same(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const KTerm *a, *b;
  if (!two_terms("same", args, nargs, a, b)) return nullptr;
  return PyBool_FromLong(a == b);
}

// The shared node's address: `same` as a key of a set, for a search over many nodes.
PyObject* fn_ident(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? PyLong_FromVoidPtr(const_cast<KTerm*>(t)) : nullptr;
}

PyObject* fn_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const KTerm *a, *b;
  if (!two_terms("equal", args, nargs, a, b)) return nullptr;
  bool eq = false;
  if (!guarded_void([&] { eq = equal(*a, *b); })) return nullptr;
  return PyBool_FromLong(eq);
}

}  // namespace

// The docstrings are those of kovel.tree, which re-exports these functions.
PyMethodDef kReadMethods[] = {
    {"kind", fn_kind, METH_O,
     "kind(t, /)\n--\n\n"
     "Return the node's variant: ``\"tuple\"``, ``\"quote\"`` or ``\"unquote\"``.\n\n"
     ">>> from kovel import HOLE, leaf, quote\n"
     ">>> from kovel.tree import kind\n"
     ">>> kind(leaf(\"identifier\", \"x\")), kind(quote(\"q\", 0, \"py\", leaf(\"identifier\", \"x\"), "
     "[HOLE]))\n"
     "('tuple', 'quote')\n"},
    {"tag", fn_tag, METH_O,
     "tag(t, /)\n--\n\n"
     "Return the node's tag (for a parsed term, the tree-sitter node kind).\n\n"
     ">>> from kovel import leaf\n"
     ">>> from kovel.tree import tag\n"
     ">>> tag(leaf(\"identifier\", \"x\"))\n"
     "'identifier'\n"},
    {"children", fn_children, METH_O,
     "children(t, /)\n--\n\n"
     "Return the node's children in order; for a quote or unquote, its one inner term.\n\n"
     ">>> from kovel import leaf, tb\n"
     ">>> from kovel.tree import children\n"
     ">>> [str(c) for c in children(tb(\"pair\").c(leaf(\"a\", \"a\")).w(\", \").c(leaf(\"b\", "
     "\"b\")).b())]\n"
     "['a', 'b']\n"},
    {"commands", fn_commands, METH_O,
     "commands(t, /)\n--\n\n"
     "Return the node's commands as ``(op, text)`` pairs.\n\n"
     "``op`` is ``\"write\"``, ``\"nl\"``, ``\"push\"``, ``\"pop\"`` or ``\"hole\"`` (the place of\n"
     "the next child); ``text`` is the text of a write or a push and ``\"\"`` otherwise.\n\n"
     ">>> from kovel import leaf, tb\n"
     ">>> from kovel.tree import commands\n"
     ">>> commands(tb(\"block\").w(\"{\").p(\"  \").n().c(leaf(\"x\", \"x\")).x().b())\n"
     "(('write', '{'), ('push', '  '), ('nl', ''), ('hole', ''), ('pop', ''))\n"},
    {"index", fn_index, METH_O,
     "index(t, /)\n--\n\n"
     "Return a quote's or unquote's index; ``None`` for a tuple.\n\n"
     ">>> from kovel import HOLE, leaf, quote\n"
     ">>> from kovel.tree import index\n"
     ">>> index(quote(\"q\", 7, \"py\", leaf(\"x\", \"x\"), [HOLE])), index(leaf(\"x\", \"x\"))\n"
     "(7, None)\n"},
    {"lang", fn_lang, METH_O,
     "lang(t, /)\n--\n\n"
     "Return a quote's or unquote's language; ``None`` for a tuple.\n\n"
     ">>> from kovel import HOLE, leaf, unquote\n"
     ">>> from kovel.tree import lang\n"
     ">>> lang(unquote(\"u\", 0, \"py\", leaf(\"x\", \"x\"), [HOLE])), lang(leaf(\"x\", \"x\"))\n"
     "('py', None)\n"},
    {"at", fn_at, METH_O,
     "at(t, /)\n--\n\n"
     "Return a quote's or unquote's source range ``(start, end)``, or ``None``.\n\n"
     "Tuples never have one; quotes made by ``kovel.quote`` have none either.\n\n"
     ">>> from kovel import leaf\n"
     ">>> from kovel.tree import at, node\n"
     ">>> q = node(\"q\", [leaf(\"x\", \"x\")], [(\"hole\", \"\")], kind=\"quote\", at=(3, 9))\n"
     ">>> at(q), at(leaf(\"x\", \"x\"))\n"
     "((3, 9), None)\n"},
    {"same", as_cfunc(fn_same), METH_FASTCALL,
     "same(a, b, /)\n--\n\n"
     "Return whether ``a`` and ``b`` are the same shared node (not merely equal).\n\n"
     ">>> from kovel import leaf, tb\n"
     ">>> from kovel.tree import children, same\n"
     ">>> x = leaf(\"identifier\", \"x\")\n"
     ">>> pair = tb(\"pair\").c(x).c(x).b()\n"
     ">>> same(children(pair)[1], x), same(leaf(\"identifier\", \"x\"), x)\n"
     "(True, False)\n"},
    {"ident", fn_ident, METH_O,
     "ident(t, /)\n--\n\n"
     "A number that stands for the shared node ``t`` while it lives: two terms have the same\n"
     "one when ``same`` says they are the same node (a set of them finds one among many).\n\n"
     ">>> from kovel import _native, leaf, tb\n"
     ">>> x = leaf(\"identifier\", \"x\")\n"
     ">>> _native.ident(_native.children(tb(\"pair\").c(x).b())[0]) == _native.ident(x)\n"
     "True\n"},
    {"equal", as_cfunc(fn_equal), METH_FASTCALL,
     "equal(a, b, /)\n--\n\n"
     "Return whether ``a`` and ``b`` are equal field by field, children included.\n\n"
     ">>> from kovel import leaf\n"
     ">>> from kovel.tree import equal\n"
     ">>> equal(leaf(\"identifier\", \"x\"), leaf(\"identifier\", \"x\")), equal(leaf(\"a\", \"x\"), "
     "leaf(\"b\", \"x\"))\n"
     "(True, False)\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
