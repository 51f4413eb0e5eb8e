// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob._kob.splits: a packed file's data cut into ranges that begin and
// end on chunk starts, for engines that hand ranges to workers (Dask, Ray,
// Spark's readers, a job queue); and kob._kob.reads_url, whether kob's
// own readers take a name as a URL.

#ifndef KOB_PYTHON_SPLITS_H
#define KOB_PYTHON_SPLITS_H

#include <pybind11/pybind11.h>

namespace kobpy {

namespace py = pybind11;

void addSplits(py::module_& module);

}  // namespace kobpy

#endif  // KOB_PYTHON_SPLITS_H
