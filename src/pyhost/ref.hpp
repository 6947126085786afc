// Owning references and interned names.
#pragma once

#include "pyhost/errors.hpp"

#include <utility>

namespace pyhost {

// A strong reference, released when the Ref dies. Needs the GIL, like everything here.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes ownership of a new reference returned by the C API, throwing when the call failed.
inline Ref own(PyObject* result) {
    if (result == nullptr) raise();
    return Ref::steal(result);
}

inline int check(int status) {
    if (status < 0) raise();
    return status;
}

inline bool truthy(PyObject* object) { return check(PyObject_IsTrue(object)) != 0; }

// An interned str made on first use and kept for the life of the process.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const {
        if (object_ == nullptr) {
            object_ = PyUnicode_InternFromString(text_);
            if (object_ == nullptr) raise();
        }
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace pyhost
