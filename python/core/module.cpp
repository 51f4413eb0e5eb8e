// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob._kob: the C++ half of the Python module kob. It holds what must be
// fast or must run without the GIL: positional reads over a
// kob::SharedReader, the packing writer over a kob::Packer, Python file
// objects as the library's sources and outputs, and the whole-file
// operations. The Python half, kob/__init__.py, builds the io classes on
// top.

#include <pybind11/pybind11.h>

#include "errors.h"
#include "kob_version.h"
#include "reader.h"
#include "splits.h"
#include "whole_file.h"
#include "writer.h"

namespace py = pybind11;

PYBIND11_MODULE(_kob, m) {
  m.doc() = "The C++ half of kob; use the package kob.";
  kobpy::addExceptions(m);

  py::class_<kobpy::Reader>(m, "Reader")
      .def(py::init<const py::object&, bool, bool, int, const std::string&, const py::object&>(),
           py::arg("file"), py::arg("partial") = false, py::arg("plain") = false,
           py::arg("threads") = 1, py::arg("cacert") = std::string(),
           py::arg("s3") = py::none())
      .def("pread", &kobpy::Reader::pread, py::arg("n"), py::arg("offset"))
      .def("readinto_at", &kobpy::Reader::readintoAt, py::arg("buffer"),
           py::arg("offset"))
      .def("size", &kobpy::Reader::size)
      .def("close", &kobpy::Reader::close)
      .def_property_readonly("closed", &kobpy::Reader::closed)
      .def_property_readonly("packed", &kobpy::Reader::packed)
      .def_property_readonly("seekable", &kobpy::Reader::seekable)
      .def_readonly("name", &kobpy::Reader::name);

  py::class_<kobpy::Writer>(m, "Writer")
      .def(py::init([](const py::object& target, const std::string& mode,
                       int chunkSize, const py::object& threads,
                       const py::object& level, bool seal) {
             if (mode != "w" && mode != "x" && mode != "a") {
               throw py::value_error("mode must be 'w', 'x' or 'a'");
             }
             return new kobpy::Writer(target, mode[0],
                                      kobpy::packOptions(chunkSize, threads, level, seal));
           }),
           py::arg("target"), py::arg("mode"), py::arg("chunk_size"),
           py::arg("threads"), py::arg("level"), py::arg("seal") = true)
      .def("write", &kobpy::Writer::write, py::arg("data"))
      .def("tell", &kobpy::Writer::tell)
      .def("close", &kobpy::Writer::close)
      .def("abort", &kobpy::Writer::abort)
      .def_property_readonly("closed", &kobpy::Writer::closed)
      .def_property_readonly("inherited", &kobpy::Writer::inherited)
      .def_readonly("name", &kobpy::Writer::name);

  kobpy::addWholeFileOperations(m);
  kobpy::addSplits(m);
  m.def("cores", &kobpy::coreCount);
  m.def("s3_settings", &kobpy::s3Settings, py::arg("options") = py::none());
  // A name as kob's messages show it: a URL without its user, password,
  // query or fragment; control characters escaped.
  m.def("shown_name", [](const py::object& name) { return kobpy::shownName(kobpy::fsPath(name)); },
        py::arg("name"));
  m.attr("version") = kob::version();
}
