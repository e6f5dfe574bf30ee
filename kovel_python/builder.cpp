// The Builder class and tb(): fluent construction of terms from Python.
#include "args.h"
#include "types.h"

namespace kovel::py {

namespace {

PyBuilder* as_builder(PyObject* self) { return reinterpret_cast<PyBuilder*>(self); }

// Exclusive access for the length of one method call; refused (false) for
// a Builder without a value or one already in use.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self) : b_(builder_value(self)) {
    if (!b_) return;
    if (b_->borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      b_ = nullptr;
      return;
    }
    b_->borrow = -1;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (b_) b_->borrow = 0;
  }
  explicit operator bool() const { return b_ != nullptr; }

 private:
  PyBuilder* b_;
};

// Methods taking one text `s`: bind, borrow, convert, then append if open.
template <KTermBuilder& (KTermBuilder::*op)(std::string_view)>
PyObject* text_method(const char* display, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr const char* names[] = {"s"};
  PyObject* a[1];
  if (!bind_args(display, names, args, nargs, kwnames, a)) return nullptr;
  ExclusiveBorrow borrow(self);
  std::string_view s;
  if (!borrow || !to_text(a[0], "s", s)) return nullptr;
  return guarded([&] {
    auto& b = as_builder(self)->builder;
    if (b) ((*b).*op)(s);
    return Py_NewRef(self);
  });
}

// c(child) and e(child): the same effect, spliced through child() or emit().
template <bool through_emit>
PyObject* child_method(const char* display, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static constexpr const char* names[] = {"child"};
  PyObject* a[1];
  if (!bind_args(display, names, args, nargs, kwnames, a)) return nullptr;
  ExclusiveBorrow borrow(self);
  if (!borrow || !check_instance(a[0], kterm_type(), "KTerm", "child") || !kterm_value(a[0])) return nullptr;
  return guarded([&] {
    auto& b = as_builder(self)->builder;
    const KRef& t = reinterpret_cast<PyKTerm*>(a[0])->term;
    if (b) {
      if constexpr (through_emit) {
        b->e(KRef(t));
      } else {
        b->child(t);
      }
    }
    return Py_NewRef(self);
  });
}

template <KTermBuilder& (KTermBuilder::*op)()>
PyObject* bare_method(PyObject* self, PyObject*) {
  ExclusiveBorrow borrow(self);
  if (!borrow) return nullptr;
  return guarded([&] {
    auto& b = as_builder(self)->builder;
    if (b) ((*b).*op)();
    return Py_NewRef(self);
  });
}

PyObject* builder_c(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return child_method<false>("Builder.c()", self, args, nargs, kwnames);
}
PyObject* builder_e(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return child_method<true>("Builder.e()", self, args, nargs, kwnames);
}
PyObject* builder_w(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return text_method<&KTermBuilder::write>("Builder.w()", self, args, nargs, kwnames);
}
PyObject* builder_p(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return text_method<&KTermBuilder::push>("Builder.p()", self, args, nargs, kwnames);
}

PyObject* builder_b(PyObject* self, PyObject*) {
  ExclusiveBorrow borrow(self);
  if (!borrow) return nullptr;
  auto& slot = as_builder(self)->builder;
  if (!slot) {
    PyErr_SetString(PyExc_RuntimeError, "Builder already built");
    return nullptr;
  }
  // The wrapper first, then the node: when either cannot be allocated the
  // builder stays open and whole, so b() can be called again.
  PyRef obj(new_kterm(KRef()));
  if (!obj) return nullptr;
  return guarded([&] {
    KRef t = std::move(*slot).b();
    slot.reset();
    reinterpret_cast<PyKTerm*>(obj.get())->term = std::move(t);
    return obj.release();
  });
}

PyMethodDef builder_methods[] = {
    {"c", as_cfunc(builder_c), kFastKw, "c($self, child)\n--\n\nSplice a child term."},
    {"w", as_cfunc(builder_w), kFastKw, "w($self, s)\n--\n\nWrite literal source text."},
    {"n", bare_method<&KTermBuilder::nl>, METH_NOARGS,
     "n($self)\n--\n\nEmit a newline (respecting the current prefix)."},
    {"p", as_cfunc(builder_p), kFastKw, "p($self, s)\n--\n\nPush an indentation prefix."},
    {"x", bare_method<&KTermBuilder::pop>, METH_NOARGS, "x($self)\n--\n\nPop an indentation prefix."},
    {"e", as_cfunc(builder_e), kFastKw,
     "e($self, child)\n--\n\nEmit a child term into the builder; for a term this is the same as `c`."},
    {"b", builder_b, METH_NOARGS, "b($self)\n--\n\nBuild the term. Consumes the builder."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc, const_cast<char*>("A fluent term builder mirroring the core `KTermBuilder`.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<PyBuilder>)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};
PyType_Spec builder_spec = {"builtins.Builder", sizeof(PyBuilder), 0, Py_TPFLAGS_DEFAULT, builder_slots};
PyTypeObject* g_builder_type = nullptr;

PyObject* fn_tb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* names[] = {"tag"};
  PyObject* a[1];
  std::string_view tag;
  if (!bind_args("tb()", names, args, nargs, kwnames, a) || !to_text(a[0], "tag", tag)) return nullptr;
  return guarded([&] { return new_builder(tb(tag)); });
}

}  // namespace

PyTypeObject* builder_type() { return create_type_once(g_builder_type, builder_spec); }

PyObject* new_builder(KTermBuilder b) {
  PyObject* obj = new_wrapper(builder_type(), &PyBuilder::builder, std::optional<KTermBuilder>(std::move(b)));
  if (obj) reinterpret_cast<PyBuilder*>(obj)->borrow = 0;
  return obj;
}

PyMethodDef kTbDef = {"tb", as_cfunc(fn_tb), kFastKw,
                      "tb(tag)\n--\n\nStart building a tuple node with the given tag."};

}  // namespace kovel::py
