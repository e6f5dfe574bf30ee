// Reading one node: its kind, tag, children, commands and quote fields, and
// comparing two terms. Each reader costs O(size of the node).
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

PyObject* fn_tag(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  return t ? text(t->tag()) : nullptr;
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

PyObject* fn_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const KTerm *a, *b;
  if (!two_terms("equal", args, nargs, a, b)) return nullptr;
  bool eq = false;
  if (!guarded_void([&] { eq = equal(*a, *b); })) return nullptr;
  return PyBool_FromLong(eq);
}

}  // namespace

PyMethodDef kReadMethods[] = {
    {"kind", fn_kind, METH_O, "kind(t, /)\n--\n\nThe node's variant: 'tuple', 'quote' or 'unquote'."},
    {"tag", fn_tag, METH_O, "tag(t, /)\n--\n\nThe node's tag."},
    {"children", fn_children, METH_O, "children(t, /)\n--\n\nThe node's children (a quote's one term)."},
    {"commands", fn_commands, METH_O, "commands(t, /)\n--\n\nThe node's commands as (op, text) pairs."},
    {"index", fn_index, METH_O, "index(t, /)\n--\n\nA quote's index; None for a tuple."},
    {"lang", fn_lang, METH_O, "lang(t, /)\n--\n\nA quote's language; None for a tuple."},
    {"at", fn_at, METH_O, "at(t, /)\n--\n\nA quote's (start, end) range, or None."},
    {"same", as_cfunc(fn_same), METH_FASTCALL, "same(a, b, /)\n--\n\nWhether a and b are the same node."},
    {"equal", as_cfunc(fn_equal), METH_FASTCALL,
     "equal(a, b, /)\n--\n\nWhether a and b are equal field by field."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
