// SPDX-License-Identifier: GPL-2.0-or-later
//
// How the module answers in Python: a kob::Failure becomes DamageError,
// NotPackedError or an OSError with its errno; an exception that Python
// code raised while the library called it back (a file object's readinto
// or write) is kept and raised again once the library returns.

#ifndef KOB_PYTHON_ERRORS_H
#define KOB_PYTHON_ERRORS_H

#include <pybind11/pybind11.h>

#include <string>

#include "kob_failure.h"

namespace kobpy {

namespace py = pybind11;

// Makes kob.DamageError and kob.NotPackedError, in `module`.
void addExceptions(py::module_& module);

// A file's name as an error shows it: a URL without its credentials and
// query. None for "".
py::object shownName(const std::string& name);

// Raises OSError(error, words, name): Python picks the subclass
// (FileNotFoundError, PermissionError, ...) from the errno. The words are
// the errno's (kob::describeError), or `words` when given.
[[noreturn]] void raiseErrno(int error, const std::string& name,
                             const std::string& words = std::string());
// Raises what `failure` says: DamageError with what and where,
// NotPackedError, or OSError with the errno and the layer below's words.
[[noreturn]] void raiseFailure(const kob::Failure& failure,
                               const std::string& name);
[[noreturn]] void raiseClosed();

// A path as Python gives it (str, bytes or os.PathLike), in the file
// system's encoding. Raises TypeError, or ValueError for a null byte.
std::string fsPath(const py::handle& path);

// Python's exceptions raised inside the library's calls back into Python,
// for one call of the library from this thread: made and ended with the GIL
// held, around the call (which runs without it). The first exception of
// the call is kept; later ones in the same call are dropped.
class CallbackErrors {
 public:
  CallbackErrors();
  ~CallbackErrors();
  CallbackErrors(const CallbackErrors&) = delete;
  CallbackErrors& operator=(const CallbackErrors&) = delete;

  // Raises the kept exception, if any.
  void raiseKept();

  // From a callback, with the GIL held: keeps the exception set now.
  static void keepCurrent();
};

}  // namespace kobpy

#endif  // KOB_PYTHON_ERRORS_H
