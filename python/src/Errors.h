// Errors.h - the refusals the module raises, as C++ exceptions that the
// module translates into morvane.Error and its subclasses.
//
// Bad arguments are std::invalid_argument (ValueError) or
// pybind11::index_error (IndexError); what the library or a store refuses is
// one of these, each carrying the library's one-line reason.
#ifndef MORVANE_PYTHON_ERRORS_H
#define MORVANE_PYTHON_ERRORS_H

#include <stdexcept>

namespace morvane::python {

// morvane.Error: every refusal of the library.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// morvane.OpenError: the area cannot be opened (missing, damaged, refused).
struct OpenError : Error {
    using Error::Error;
};
// morvane.SaveError: the close could not save; the area stays open.
struct SaveError : Error {
    using Error::Error;
};
// morvane.TransformError: the group has no usable fit, or a position
// cannot be converted.
struct TransformError : Error {
    using Error::Error;
};
// morvane.RefusedError: the group refused an edit (nothing was changed).
struct RefusedError : Error {
    using Error::Error;
};
// morvane.FormatError: an exchange file cannot be read or written.
struct FormatError : Error {
    using Error::Error;
};

}  // namespace morvane::python

#endif
