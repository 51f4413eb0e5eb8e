// SPDX-License-Identifier: GPL-2.0-or-later
//
// The module's whole-file operations, as the kob tool does them: pack,
// unpack, scan, write_index, index_state; and bytes packed and unpacked in
// memory, compress and decompress. Each names its files by path or URL
// (a URL is read, never written).

#ifndef KOB_PYTHON_WHOLE_FILE_H
#define KOB_PYTHON_WHOLE_FILE_H

#include <pybind11/pybind11.h>

namespace kobpy {

namespace py = pybind11;

void addWholeFileOperations(py::module_& module);

}  // namespace kobpy

#endif  // KOB_PYTHON_WHOLE_FILE_H
