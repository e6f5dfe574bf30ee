// layout: the layout rules of converted trees (kovel/src/convert.h), for the
// templates of kovel.quasi, which lay out their constant parts as a parsed
// tree is laid out. One copy of each rule: the converter's.
#include <string_view>

#include "convert.h"
#include "native.h"

namespace kovel::py::native {

namespace {

bool flag_arg(PyObject* o, bool& out) {
  const int v = PyObject_IsTrue(o);
  if (v < 0) return false;
  out = v != 0;
  return true;
}

// Collects commands as the ("write", text) and ("nl", "") pairs of
// kovel.tree.commands.
struct CommandList {
  PyRef list{PyList_New(0)};
  bool ok = list.get() != nullptr;

  void add(int op, std::string_view text) {
    if (!ok) return;
    PyRef s(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyRef pair(s ? PyTuple_Pack(2, names().op[op], s.get()) : nullptr);
    ok = pair && PyList_Append(list.get(), pair.get()) == 0;
  }
  void write(std::string_view text) { add(kWrite, text); }
  void nl() { add(kNl, {}); }
};

PyObject* fn_gap_commands(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("gap_commands", nargs, 3)) return nullptr;
  std::string_view gap;
  bool verbatim = false, before_anchored = false;
  if (!str_arg(args[0], "gap", gap) || !flag_arg(args[1], verbatim) || !flag_arg(args[2], before_anchored))
    return nullptr;
  CommandList out;
  const bool token = convert::write_gap(out, gap, verbatim, before_anchored);
  if (!out.ok) return nullptr;
  PyRef cmds(PyList_AsTuple(out.list.get()));
  return cmds ? Py_BuildValue("(OO)", cmds.get(), token ? Py_True : Py_False) : nullptr;
}

PyObject* fn_token(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("token", nargs, 3)) return nullptr;
  std::string_view kind, text;
  bool verbatim = false;
  if (!str_arg(args[0], "kind", kind) || !str_arg(args[1], "text", text) || !flag_arg(args[2], verbatim))
    return nullptr;
  return guarded([&]() -> PyObject* {
    convert::NodeBuf scratch;
    return new_kterm(convert::token(kind, tags::intern(kind), text, verbatim, scratch));
  });
}

PyObject* fn_last_line_anchored(PyObject*, PyObject* arg) {
  std::string_view text;
  if (!str_arg(arg, "text", text)) return nullptr;
  return PyBool_FromLong(convert::last_line_anchored(text));
}

PyObject* fn_token_text(PyObject*, PyObject* arg) {
  std::string_view gap;
  if (!str_arg(arg, "gap", gap)) return nullptr;
  return PyBool_FromLong(convert::token_text(gap));
}

}  // namespace

PyMethodDef kLayoutMethods[] = {
    {"gap_commands", as_cfunc(fn_gap_commands), METH_FASTCALL,
     "gap_commands(gap, verbatim, before_anchored, /)\n--\n\n"
     "How a node writes the text ``gap`` between its children: its commands, as\n"
     "``kovel.tree.commands`` gives them, and whether the gap is hidden token text\n"
     "that makes its node verbatim.\n"},
    {"token", as_cfunc(fn_token), METH_FASTCALL,
     "token(kind, text, verbatim, /)\n--\n\n"
     "The term of a node without children: a leaf, or a line-end token's text\n"
     "written as lines.\n"},
    {"token_text", fn_token_text, METH_O,
     "token_text(gap, /)\n--\n\nWhether a gap is hidden token text spanning lines.\n"},
    {"last_line_anchored", fn_last_line_anchored, METH_O,
     "last_line_anchored(text, /)\n--\n\n"
     "Whether a comment's text keeps it at column 0: it spans lines and its last\n"
     "line starts with a character that is not blank.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
