// Failure handling at the boundary: Python errors, internal failures, stderr reports.
#include "convert/boundary.hpp"

#include <exception>
#include <new>
#include <string>

#include "convert/once.hpp"

namespace talvane::py {

namespace {

constinit OnceCell<PyObject*> internal_error_cell;

std::string generic_failure() { return std::string("unexpected failure inside ") + kModuleTexts.name; }

// str() of an object as UTF-8, or a stand-in when even that fails.
std::string text_of(PyObject* o) {
    Ref s = Ref::steal(PyObject_Str(o));
    const char* utf8 = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8;
}

void raise_internal(const std::string& text) {
    PyObject* type = internal_error_cell.peek();
    if (type == nullptr) {
        // Making the type can itself fail; then its error is the one raised.
        try {
            type = internal_error_type();
        } catch (...) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return;
        }
    }
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                  "replace"));
    if (message) PyErr_SetObject(type, message.get());
}

void report(const char* place, const std::string& text) {
    PySys_FormatStderr("%s: internal failure in %s: %s\n", kModuleTexts.name, place, text.c_str());
}

// An internal-error exception that came back through Python code the call ran:
// announce it, print it with its traceback, and raise a fresh one with its text.
// The exception is displayed directly, not through PyErr_PrintEx, which would run
// sys.excepthook and act on SystemExit: an application hook that exits, or a
// subclass that is also a SystemExit, would end the process there.
void resume_nested_internal(const char* place) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    std::string text = v ? text_of(v.get()) : generic_failure();
    PySys_FormatStderr("%s: resuming an internal failure fetched from Python in %s\n"
                       "%s: the Python stack trace follows\n", kModuleTexts.name, place, kModuleTexts.name);
    if (v) {
        if (tb) PyException_SetTraceback(v.get(), tb.get());
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_DisplayException(v.get());
#else
        PyErr_Display(t.get(), v.get(), tb.get());
#endif
    }
    PyErr_Clear();  // displaying can fail; that error is not the one raised
    raise_internal(text);
}

}  // namespace

PyObject* must(PyObject* o) {
    if (o == nullptr) {
        throw InternalFailure(PyErr_Occurred() ? take_error_text() : std::string(generic_failure()));
    }
    return o;
}

std::string take_error_text() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    if (!t) return generic_failure();
    std::string name = reinterpret_cast<PyTypeObject*>(t.get())->tp_name;
    if (auto dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
    return v ? name + ": " + text_of(v.get()) : name;
}

PyObject* internal_error_type() {
    return internal_error_cell.get([] {
        const std::string name = std::string(kModuleTexts.name) + ".InternalError";
        return must(PyErr_NewExceptionWithDoc(name.c_str(), kModuleTexts.internal_error_doc, PyExc_BaseException,
                                              nullptr));
    });
}

namespace detail {

PyObject* fail(const char* place) noexcept {
    try {
        throw;
    } catch (const ErrSet&) {
        PyObject* internal = internal_error_cell.peek();
        if (internal != nullptr && PyErr_ExceptionMatches(internal)) resume_nested_internal(place);
        if (!PyErr_Occurred()) {
            report(place, "a Python call failed without an exception");
            raise_internal(generic_failure());
        }
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // Includes the analysis's own failed check, which is raised the same way.
        PyErr_Clear();
        report(place, e.what());
        raise_internal(e.what());
    } catch (...) {
        PyErr_Clear();
        report(place, generic_failure());
        raise_internal(generic_failure());
    }
    return nullptr;
}

}  // namespace detail

}  // namespace talvane::py
