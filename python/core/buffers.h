// SPDX-License-Identifier: GPL-2.0-or-later
//
// Memory crossing between C++ and Python, by one rule kept here:
//
// - Python's memory may be lent to C++ for one call: a Buffer holds a
//   bytes-like object's buffer (bytes, bytearray, memoryview, array, mmap,
//   numpy) from before the call to after it, so Python cannot resize or
//   free it meanwhile.
// - C++ memory is never lent to Python code. Python may keep whatever it
//   is given (a memoryview, a cast of it, a numpy array over it) past the
//   call, and write through it later; so a call that fills bytes for the
//   library (a file object's readinto) fills memory Python owns, and the
//   library copies out what the call says it filled.

#ifndef KOB_PYTHON_BUFFERS_H
#define KOB_PYTHON_BUFFERS_H

#include <pybind11/pybind11.h>

#include <cstddef>

namespace kobpy {

namespace py = pybind11;

// A buffer taken with the GIL held and given back with it held.
class Buffer {
 public:
  Buffer(const py::handle& object, bool writable);
  ~Buffer() { PyBuffer_Release(&view); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  void* data() const { return view.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view.len); }

 private:
  Py_buffer view{};
};

// The most bytes one call fills: a file object's readinto is given this
// much memory of Python's at most, allocated for the call.
constexpr std::size_t kLargestFill = std::size_t{1} << 20;

// What fillBy returns for a call that answered None: no bytes now.
constexpr std::size_t kNoneNow = static_cast<std::size_t>(-1);

// Calls `readinto(view)` with a writable memoryview of `want` (at most
// kLargestFill) bytes that Python owns, and copies the bytes it says it
// filled into `into`. With the GIL held. Returns: the count (0 at the
// end), or kNoneNow. Throws ValueError for a count that is not 0..want,
// TypeError for one that is no int, and what the call raised.
std::size_t fillBy(const py::object& readinto, unsigned char* into, std::size_t want);

}  // namespace kobpy

#endif  // KOB_PYTHON_BUFFERS_H
