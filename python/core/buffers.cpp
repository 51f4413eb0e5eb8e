// SPDX-License-Identifier: GPL-2.0-or-later
#include "buffers.h"

#include <algorithm>
#include <cstring>

namespace kobpy {

Buffer::Buffer(const py::handle& object, bool writable) {
  if (PyObject_GetBuffer(object.ptr(), &view,
                         writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
    throw py::error_already_set();
  }
}

std::size_t fillBy(const py::object& readinto, unsigned char* into, std::size_t want) {
  want = std::min(want, kLargestFill);
  py::object memory = py::reinterpret_steal<py::object>(
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want)));
  if (!memory) throw py::error_already_set();
  py::object view = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(memory.ptr()));
  if (!view) throw py::error_already_set();
  py::object answer = readinto(view);
  if (answer.is_none()) return kNoneNow;
  const auto count = answer.cast<long long>();
  if (count < 0 || static_cast<unsigned long long>(count) > want) {
    throw py::value_error("readinto() returned an impossible count");
  }
  // The bytes as they are now, wherever the call left its view: the
  // memory stays Python's, and is read through a buffer of its own.
  Buffer filled(memory, false);
  if (filled.size() < static_cast<std::size_t>(count)) {
    throw py::value_error("readinto() returned an impossible count");
  }
  std::memcpy(into, filled.data(), static_cast<std::size_t>(count));
  return static_cast<std::size_t>(count);
}

}  // namespace kobpy
