// The StrCmd and CmdOrHole classes and the functions write, push and cmd.
#include "args.h"
#include "types.h"

namespace kovel::py {

namespace {

PyType_Slot strcmd_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single string command (`write`/`NL`/`push`/`POP`).\n"
                                  "It is only ever passed by reference, so it opts out of by-value argument "
                                  "conversion.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<PyStrCmd>)},
    {0, nullptr},
};
PyType_Spec strcmd_spec = {"builtins.StrCmd", sizeof(PyStrCmd), 0, Py_TPFLAGS_DEFAULT, strcmd_slots};
PyTypeObject* g_strcmd_type = nullptr;

PyType_Slot cmdorhole_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A `StrCmd` or a child placeholder (`HOLE`), used in `quote`/`unquote` cmds.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<PyCmdOrHole>)},
    {0, nullptr},
};
PyType_Spec cmdorhole_spec = {"builtins.CmdOrHole", sizeof(PyCmdOrHole), 0, Py_TPFLAGS_DEFAULT,
                              cmdorhole_slots};
PyTypeObject* g_cmdorhole_type = nullptr;

PyObject* fn_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_text_function<kovel::write>("write()", args, nargs, kwnames);
}

PyObject* fn_push(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_text_function<kovel::push>("push()", args, nargs, kwnames);
}

PyObject* fn_cmd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* names[] = {"c"};
  PyObject* a[1];
  const StrCmd* c;
  if (!bind_args("cmd()", names, args, nargs, kwnames, a) ||
      !check_instance(a[0], strcmd_type(), "StrCmd", "c") || !(c = strcmd_value(a[0])))
    return nullptr;
  return guarded([&] { return new_cmdorhole(CmdOrHole::of(*c)); });
}

}  // namespace

PyTypeObject* strcmd_type() { return create_type_once(g_strcmd_type, strcmd_spec); }
PyTypeObject* cmdorhole_type() { return create_type_once(g_cmdorhole_type, cmdorhole_spec); }

PyObject* new_strcmd(StrCmd c) { return new_wrapper(strcmd_type(), &PyStrCmd::value, std::move(c)); }

PyObject* new_cmdorhole(CmdOrHole c) {
  return new_wrapper(cmdorhole_type(), &PyCmdOrHole::value, std::move(c));
}

PyMethodDef kWriteDef = {"write", as_cfunc(fn_write), kFastKw, "write(s)\n--\n\nA `Write` command."};
PyMethodDef kPushDef = {"push", as_cfunc(fn_push), kFastKw, "push(s)\n--\n\nA `Push` command."};
PyMethodDef kCmdDef = {"cmd", as_cfunc(fn_cmd), kFastKw, "cmd(c)\n--\n\nWrap a `StrCmd` as a `CmdOrHole`."};

}  // namespace kovel::py
