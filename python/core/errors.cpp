// SPDX-License-Identifier: GPL-2.0-or-later
#include "errors.h"

#include <cerrno>

#include "kob_damage.h"
#include "kob_names.h"

namespace kobpy {
namespace {

PyObject* damageErrorType = nullptr;
PyObject* notPackedErrorType = nullptr;

const char* damageName(kob::Damage damage) {
  switch (damage) {
    case kob::Damage::None: return "none";
    case kob::Damage::CutShort: return "cut_short";
    case kob::Damage::PayloadRejected: return "payload_rejected";
    case kob::Damage::WrongExpandedSize: return "wrong_expanded_size";
    case kob::Damage::DataAfterEnd: return "data_after_end";
    case kob::Damage::BrokenBackLink: return "broken_back_link";
    case kob::Damage::ChecksumMismatch: return "checksum_mismatch";
    case kob::Damage::NotPacked: return "not_packed";
    case kob::Damage::TrailerDamaged: return "trailer_damaged";
    case kob::Damage::HeaderUnlikeSeal: return "header_unlike_seal";
    case kob::Damage::PayloadUnlikeSeal: return "payload_unlike_seal";
  }
  return "unknown";
}

py::object optionalInt(std::int64_t value) {
  if (value < 0) return py::none();
  return py::int_(value);
}

[[noreturn]] void raiseInstance(PyObject* type, const py::object& instance) {
  PyErr_SetObject(type, instance.ptr());
  throw py::error_already_set();
}

// The exception a callback raised in this thread during the current call:
// the type, value and traceback PyErr_Fetch gave, owned.
struct Kept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  int depth = 0;  // CallbackErrors alive in this thread
};
thread_local Kept kept;

void dropKept() {
  Py_CLEAR(kept.type);
  Py_CLEAR(kept.value);
  Py_CLEAR(kept.traceback);
}

}  // namespace

void addExceptions(py::module_& module) {
  damageErrorType = PyErr_NewExceptionWithDoc(
      "kob.DamageError",
      "A packed file's bytes are wrong: a chunk cut short, a payload the\n"
      "decompressor rejects, a broken back-link, data after the end marker,\n"
      "a checksum that does not match. An OSError whose errno is None.\n\n"
      "Attributes:\n"
      "  damage    the kind, a string: 'cut_short', 'payload_rejected',\n"
      "            'wrong_expanded_size', 'data_after_end',\n"
      "            'broken_back_link' or 'checksum_mismatch'\n"
      "  chunk     the damaged chunk's number (0 for the first), or None\n"
      "  offset    the file offset of its header, or None\n"
      "  position  the position in the data of its first byte, or None\n"
      "  filename  the packed file's name, or None",
      PyExc_OSError, nullptr);
  if (damageErrorType == nullptr) throw py::error_already_set();
  py::object damageError = py::reinterpret_borrow<py::object>(damageErrorType);
  // The message alone, as describe() gives it; OSError's own str would
  // speak of an errno.
  damageError.attr("__str__") = py::cpp_function(
      [](py::handle self) -> py::str {
        py::tuple args = self.attr("args");
        return args.empty() ? py::str("") : py::str(args[0]);
      },
      py::is_method(damageError));
  module.attr("DamageError") = damageError;

  notPackedErrorType = PyErr_NewExceptionWithDoc(
      "kob.NotPackedError",
      "The data does not begin with the packed signature: a file, file\n"
      "object or bytes that were never packed (or not by kob). An OSError\n"
      "with errno EINVAL and the file's name, as gzip.BadGzipFile is for\n"
      "gzip. kob.open(..., plain=True) reads such data as it is instead.",
      PyExc_OSError, nullptr);
  if (notPackedErrorType == nullptr) throw py::error_already_set();
  module.attr("NotPackedError") =
      py::reinterpret_borrow<py::object>(notPackedErrorType);
}

py::object shownName(const std::string& name) {
  if (name.empty()) return py::none();
  return py::str(kob::displayName(name));
}

void raiseErrno(int error, const std::string& name, const std::string& words) {
  py::object exc = py::reinterpret_borrow<py::object>(PyExc_OSError)(
      error, words.empty() ? kob::describeError(error) : words,
      shownName(name));
  raiseInstance(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc);
}

void raiseFailure(const kob::Failure& failure, const std::string& name) {
  if (failure.damage == kob::Damage::NotPacked) {
    py::object type = py::reinterpret_borrow<py::object>(notPackedErrorType);
    raiseInstance(notPackedErrorType,
                  type(EINVAL, "not a packed file", shownName(name)));
  }
  if (!failure.isDamage()) {
    const int error = failure.error != 0 ? failure.error : EIO;
    std::string words = kob::describeError(error);
    if (!failure.detail.empty()) words += " (" + failure.detail + ")";
    raiseErrno(error, name, words);
  }
  py::object type = py::reinterpret_borrow<py::object>(damageErrorType);
  py::object exc = type(failure.describe());
  exc.attr("damage") = damageName(failure.damage);
  exc.attr("chunk") = optionalInt(failure.chunk);
  exc.attr("offset") = optionalInt(failure.fileOffset);
  exc.attr("position") = optionalInt(failure.position);
  exc.attr("filename") = shownName(name);
  raiseInstance(damageErrorType, exc);
}

void raiseClosed() { throw py::value_error("I/O operation on closed file."); }

std::string fsPath(const py::handle& path) {
  py::object bytes = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!bytes) throw py::error_already_set();
  if (PyUnicode_Check(bytes.ptr())) {
    bytes = py::reinterpret_steal<py::object>(
        PyUnicode_EncodeFSDefault(bytes.ptr()));
    if (!bytes) throw py::error_already_set();
  }
  std::string result = bytes.cast<std::string>();
  if (result.find('\0') != std::string::npos) {
    throw py::value_error("embedded null byte in path");
  }
  return result;
}

CallbackErrors::CallbackErrors() {
  if (kept.depth++ == 0) dropKept();
}

CallbackErrors::~CallbackErrors() {
  if (--kept.depth == 0) dropKept();
}

void CallbackErrors::raiseKept() {
  if (kept.type == nullptr) return;
  PyErr_Restore(kept.type, kept.value, kept.traceback);
  kept.type = kept.value = kept.traceback = nullptr;
  throw py::error_already_set();
}

void CallbackErrors::keepCurrent() {
  if (!PyErr_Occurred()) return;
  if (kept.type != nullptr || kept.depth == 0) {
    PyErr_Clear();
    return;
  }
  PyErr_Fetch(&kept.type, &kept.value, &kept.traceback);
}

}  // namespace kobpy
