#include "py_text.hpp"

#include "py_ref.hpp"

namespace pelvar {

std::string type_name_of(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

bool is_instance_or_raise(PyObject* object, PyTypeObject* type, const char* expected) {
    if (type != nullptr && PyObject_TypeCheck(object, type)) {
        return true;
    }
    std::string type_name = type_name_of(object);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", type_name.c_str(), expected);
    return false;
}

}  // namespace pelvar
