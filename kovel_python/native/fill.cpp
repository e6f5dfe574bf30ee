// Templates for kovel.quasi: a template compiled once into a capsule, and one
// call that builds the filled term from the values of its holes.
//
// Every subtree without a hole is built when the template is compiled and
// shared by all the terms it makes; a fill builds only the nodes on the way
// from the root to a hole, replaying the builder calls the compiler recorded
// for them, so the result is the term those calls would make in Python.
#include <memory>
#include <string>
#include <vector>

#include "measure.h"
#include "native.h"

namespace kovel::py::native {

namespace {

constexpr const char* kCapsule = "kovel._native.Template";

// The codes of a template's ops, mirrored by kovel.quasi.wire.FillOp.
enum class OpCode : std::uint8_t { Write = 0, Nl = 1, Const = 2, Hole = 3, Frame = 4 };

// The fields of a hole, mirrored by kovel.quasi.wire.HoleSpec.
enum HoleField : Py_ssize_t {
  kText,
  kIndex,
  kAt,
  kIndent,
  kSeq,
  kStatement,
  kOwnLine,
  kParentKind,
  kHoleFields
};

struct Op {
  OpCode code;
  std::string text;     // Write
  KRef term;            // Const
  std::size_t ref = 0;  // Hole, Frame: the position in holes or frames
};

struct Frame {
  std::string tag;
  std::uint32_t tag_id = 0;  // tags::intern(tag), once per template
  std::vector<Op> ops;
};

struct Hole {
  std::string text;  // the unquote's tag: the metavariable as written
  std::uint8_t index = 0;
  Range at;
  std::string indent;  // later lines of the value get it
  bool seq = false;
  bool statement = false;  // a sequence is joined by line breaks, not commas
  bool own_line = false;
  std::string parent_kind;      // the tag of a joined sequence
  std::uint32_t parent_id = 0;  // tags::intern(parent_kind)
};

struct Program {
  std::string lang;
  std::string root_kind;
  Op body;
  std::vector<Frame> frames;  // each refers only to frames before it
  std::vector<Hole> holes;
};

void destroy_capsule(PyObject* capsule) {
  delete static_cast<Program*>(PyCapsule_GetPointer(capsule, kCapsule));
}

bool bad(PyObject* o, const char* what) {
  PyErr_Format(PyExc_ValueError, "not a template %s: %R", what, o);
  return false;
}

bool text_of(PyObject* o, std::string& out) {
  Py_ssize_t n;
  const char* s = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &n) : nullptr;
  if (!s) return PyErr_Occurred() ? false : bad(o, "text");
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

bool size_of(PyObject* o, std::size_t limit, std::size_t& out) {
  const Py_ssize_t v = PyLong_Check(o) ? PyLong_AsSsize_t(o) : -1;
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || static_cast<std::size_t>(v) >= limit) return bad(o, "reference");
  out = static_cast<std::size_t>(v);
  return true;
}

bool u64_of(PyObject* o, std::uint64_t& out) {
  out = PyLong_AsUnsignedLongLong(o);
  return !PyErr_Occurred();
}

// (code, arg): (Write, text), (Nl, None) a line break, (Const, term) a
// constant child, (Hole, i) hole i, (Frame, f) frame f (built before the
// current one).
bool to_op(PyObject* o, const Program& p, std::size_t frames_before, Op& out) {
  if (!PyTuple_Check(o) || PyTuple_Size(o) != 2) return bad(o, "op");
  const long code = PyLong_AsLong(PyTuple_GetItem(o, 0));
  if (code == -1 && PyErr_Occurred()) return false;
  PyObject* arg = PyTuple_GetItem(o, 1);
  if (code < 0 || code > static_cast<long>(OpCode::Frame)) return bad(o, "op");
  out.code = static_cast<OpCode>(code);
  switch (out.code) {
    case OpCode::Write: return text_of(arg, out.text);
    case OpCode::Nl: return true;
    case OpCode::Const: {
      const KTerm* t = term_arg(arg, "op");
      if (!t) return false;
      out.term = KRef::share(t);
      return true;
    }
    case OpCode::Hole: return size_of(arg, p.holes.size(), out.ref);
    case OpCode::Frame: return size_of(arg, frames_before, out.ref);
  }
  return bad(o, "op");
}

// (text, unquote_index, (start, end), indent, seq, statement, own_line, parent_kind)
bool to_hole(PyObject* o, Hole& h) {
  if (!PyTuple_Check(o) || PyTuple_Size(o) != kHoleFields) return bad(o, "hole");
  std::size_t index;
  PyObject* at = PyTuple_GetItem(o, kAt);
  if (!text_of(PyTuple_GetItem(o, kText), h.text) || !size_of(PyTuple_GetItem(o, kIndex), 256, index))
    return false;
  if (!PyTuple_Check(at) || PyTuple_Size(at) != 2) return bad(o, "hole");
  if (!u64_of(PyTuple_GetItem(at, 0), h.at.start) || !u64_of(PyTuple_GetItem(at, 1), h.at.end)) return false;
  h.index = static_cast<std::uint8_t>(index);
  if (!text_of(PyTuple_GetItem(o, kIndent), h.indent) ||
      !text_of(PyTuple_GetItem(o, kParentKind), h.parent_kind))
    return false;
  h.parent_id = tags::intern(h.parent_kind);
  h.seq = PyObject_IsTrue(PyTuple_GetItem(o, kSeq)) == 1;
  h.statement = PyObject_IsTrue(PyTuple_GetItem(o, kStatement)) == 1;
  h.own_line = PyObject_IsTrue(PyTuple_GetItem(o, kOwnLine)) == 1;
  return true;
}

// compile_template(lang, root_kind, body, frames, holes): frames a tuple of
// (tag, ops), in the order they are built.
PyObject* fn_compile_template(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("compile_template", nargs, 5)) return nullptr;
  return guarded([&]() -> PyObject* {
    auto p = std::make_unique<Program>();
    if (!text_of(args[0], p->lang) || !text_of(args[1], p->root_kind)) return nullptr;
    if (!PyTuple_Check(args[3]) || !PyTuple_Check(args[4])) return bad(args[3], "frame list"), nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_Size(args[4]); ++i) {
      if (!to_hole(PyTuple_GetItem(args[4], i), p->holes.emplace_back())) return nullptr;
    }
    for (Py_ssize_t f = 0; f < PyTuple_Size(args[3]); ++f) {
      PyObject* fr = PyTuple_GetItem(args[3], f);
      if (!PyTuple_Check(fr) || PyTuple_Size(fr) != 2 || !PyTuple_Check(PyTuple_GetItem(fr, 1)))
        return bad(fr, "frame"), nullptr;
      Frame frame;
      if (!text_of(PyTuple_GetItem(fr, 0), frame.tag)) return nullptr;
      frame.tag_id = tags::intern(frame.tag);
      PyObject* ops = PyTuple_GetItem(fr, 1);
      for (Py_ssize_t i = 0; i < PyTuple_Size(ops); ++i)
        if (!to_op(PyTuple_GetItem(ops, i), *p, static_cast<std::size_t>(f), frame.ops.emplace_back()))
          return nullptr;
      p->frames.push_back(std::move(frame));
    }
    if (!to_op(args[2], *p, p->frames.size(), p->body)) return nullptr;
    if (p->body.code == OpCode::Write || p->body.code == OpCode::Nl) return bad(args[2], "body"), nullptr;
    PyObject* capsule = PyCapsule_New(p.get(), kCapsule, destroy_capsule);
    if (capsule) p.release();
    return capsule;
  });
}

// The values of a sequence hole joined as the template says: a line break
// (or a space) between statements, a comma and a line break (or a space)
// between other items.
bool join(const Hole& h, PyObject* values, KRef& out) {
  PyRef seq(PySequence_Fast(values, "a sequence hole takes a KTerm or a list of KTerms"));
  if (!seq) return false;
  KTermBuilder b = KTermBuilder::tuple_builder(h.parent_kind, h.parent_id);
  const Py_ssize_t n = PySequence_Size(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(seq.get(), i));
    const KTerm* t = item ? term_arg(item.get(), "values") : nullptr;
    if (!t) return false;
    if (i) {
      if (!h.statement) b.write(",");
      if (h.own_line) {
        b.nl();
      } else {
        b.write(" ");
      }
    }
    b.child(KRef::share(t));
  }
  out = std::move(b).b();
  return true;
}

// A value that pops prefixes it did not push, or leaves some pushed, would
// change the layout of the template's text after it; it is refused.
bool keeps_to_itself(const Hole& h, const KTerm& value) {
  if (value.is_leaf()) return true;  // one write, nothing else
  const RenderedSize r = rendered_size(value);
  if (r.pops_outside == 0 && r.left_pushed == 0) return true;
  PyErr_Format(
      PyExc_ValueError, "the value of %s %s: a value must pop exactly the indentation prefixes it pushes",
      h.text.c_str(),
      r.left_pushed ? "leaves an indentation prefix pushed" : "pops an indentation prefix it did not push");
  return false;
}

KRef unquote_of(const Hole& h, KRef value) {
  std::vector<CmdOrHole> cmds;
  if (!h.indent.empty()) {
    cmds = {CmdOrHole::of(push(h.indent)), HOLE, CmdOrHole::of(POP)};
  } else {
    cmds = {HOLE};
  }
  return kunquote_at(h.text, h.index, "python", std::move(value), cmds, h.at).share();
}

const KRef& operand(const Op& op, const std::vector<KRef>& holes, const std::vector<KRef>& frames) {
  if (op.code == OpCode::Const) return op.term;
  return op.code == OpCode::Hole ? holes[op.ref] : frames[op.ref];
}

// fill(template, values): one value per hole, a KTerm, or for a sequence
// hole a KTerm (spliced as it is) or a list of KTerms.
PyObject* fn_fill(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("fill", nargs, 2)) return nullptr;
  if (!PyCapsule_IsValid(args[0], kCapsule)) {
    PyErr_SetString(PyExc_TypeError, "argument 'template': expected a template from compile_template()");
    return nullptr;
  }
  const Program* p = static_cast<const Program*>(PyCapsule_GetPointer(args[0], kCapsule));
  if (!p) return nullptr;
  PyObject* values = args[1];
  if (!PyTuple_Check(values) || PyTuple_Size(values) != static_cast<Py_ssize_t>(p->holes.size())) {
    PyErr_Format(PyExc_TypeError, "fill() takes a tuple of %zu values", p->holes.size());
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::vector<KRef> holes;
    holes.reserve(p->holes.size());
    for (std::size_t i = 0; i < p->holes.size(); ++i) {
      const Hole& h = p->holes[i];
      PyObject* v = PyTuple_GetItem(values, static_cast<Py_ssize_t>(i));
      KRef value;
      if (h.seq && Py_TYPE(v) != kterm_type()) {
        if (!join(h, v, value)) return nullptr;
      } else {
        const KTerm* t = term_arg(v, "values");
        if (!t) return nullptr;
        value = KRef::share(t);
      }
      if (!keeps_to_itself(h, *value)) return nullptr;
      holes.push_back(unquote_of(h, std::move(value)));
    }
    std::vector<KRef> frames;
    frames.reserve(p->frames.size());
    for (const Frame& f : p->frames) {
      KTermBuilder b = KTermBuilder::tuple_builder(f.tag, f.tag_id);
      for (const Op& op : f.ops) {
        if (op.code == OpCode::Write) {
          b.write(op.text);
        } else if (op.code == OpCode::Nl) {
          b.nl();
        } else {
          b.child(operand(op, holes, frames));
        }
      }
      frames.push_back(std::move(b).b());
    }
    const std::vector<CmdOrHole> one{HOLE};
    KRef body = operand(p->body, holes, frames);
    return new_kterm(kquote_at(p->root_kind, 0, p->lang, std::move(body), one, std::nullopt).share());
  });
}

// template_schema(): the wire constants as this file reads them, for a test
// that they are the ones kovel.quasi.wire writes.
PyObject* fn_template_schema(PyObject*, PyObject*) {
  const auto code = [](OpCode c) { return static_cast<int>(c); };
  return Py_BuildValue("{s{sisisisisi}s(ssssssss)}", "ops", "write", code(OpCode::Write), "nl",
                       code(OpCode::Nl), "const", code(OpCode::Const), "hole", code(OpCode::Hole), "frame",
                       code(OpCode::Frame), "hole_fields", "text", "unquote_index", "at", "indent", "seq",
                       "statement", "own_line", "parent_kind");
}

}  // namespace

PyMethodDef kFillMethods[] = {
    {"template_schema", fn_template_schema, METH_NOARGS,
     "template_schema()\n--\n\nThe codes of template ops and the fields of a hole, as read here."},
    {"compile_template", as_cfunc(fn_compile_template), METH_FASTCALL,
     "compile_template(lang, root_kind, body, frames, holes, /)\n--\n\nA template compiled for fill."},
    {"fill", as_cfunc(fn_fill), METH_FASTCALL,
     "fill(template, values, /)\n--\n\nThe filled template: a quote with one unquote per hole."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
