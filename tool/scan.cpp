// SPDX-License-Identifier: GPL-2.0-or-later
//
// The modes that read packed files without writing their data: -t checks,
// -l lists (as a table, or with --json as JSON lines), -i writes an index
// beside, or where --index-file says.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "format/index_format.h"
#include "inputs.h"
#include "kob_index.h"
#include "kob_names.h"
#include "kob_scan.h"
#include "modes.h"
#include "output_file.h"

namespace kobtool {
namespace {

std::string shownName(const std::string& name) {
  return name == kStandardStream ? std::string(kStdinName)
                                 : kob::displayName(name);
}

// Scans a packed input (see kob::scanPacked); `outcome` says why it could
// not be read, or where it is damaged.
std::optional<kob::ScanReport> scanInput(
    const Options& options, const std::string& name, bool decompress,
    const std::function<void(const kob::ChunkInfo&)>& onChunk,
    Outcome& outcome) {
  OpenedInput opened = openInput(options, name);
  if (!opened.input) {
    outcome = opened.outcome;
    return std::nullopt;
  }
  Input& input = *opened.input;
  outcome = checkNotATerminal(options, input);
  if (!outcome.ok()) return std::nullopt;
  const bool local = !input.isStdin() && !input.isRemote();
  const kob::UniqueFd kept(
      local ? fcntl(input.descriptor(), F_DUPFD_CLOEXEC, 0) : -1);
  kob::ScanOptions walk;
  walk.decompress = decompress;
  walk.threads = options.threads;
  walk.onChunk = onChunk;
  walk.index = options.indexChoice();
  kob::ScanReport scan = kob::scanPacked(std::move(input.file), walk);
  if (scan.ok()) {
    // The state of every block of the index, not just those the scan met,
    // unless the scan found the file disagreeing with it.
    if (local && scan.indexState != kob::IndexState::Stale) {
      scan.indexState =
          options.indexFile.empty()
              ? kob::indexState(input.name, kept.get())
              : kob::indexState(input.name, options.indexChoice());
    }
    return scan;
  }
  outcome = Outcome::failed(input.shown(), scan.failure);
  return std::nullopt;
}

// The length of the well-formed UTF-8 sequence at `at`; 0 where there is
// none (a stray byte, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t utf8Length(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t point = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    point = lead & 0x1fu;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    point = lead & 0x0fu;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    point = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xc0u) != 0x80u) return 0;
    point = point << 6 | (next & 0x3fu);
  }
  const bool overlong =
      (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  if (overlong || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
    return 0;
  }
  return length;
}

// `text` as a JSON string. A byte outside well-formed UTF-8
// becomes \udcXX, as Python's "surrogateescape" reads it, so that the
// name's bytes can be had back: name.encode("utf-8", "surrogateescape").
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const std::size_t length = utf8Length(text, at);
    char escape[8];
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\udc%02x", c);
      out += escape;
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(text, at, length);
    }
    at += length;
  }
  return out + "\"";
}

// What -l says of one file.
struct Listing {
  const std::string& name;
  const kob::ScanReport& scan;
  const std::vector<kob::ChunkInfo>& chunks;
};

// What -l says of a file's index: the saved index's state, or for a
// sealed file "sealed": its seal is its index, and one beside it unread.
const char* indexColumn(const Listing& listing) {
  return listing.scan.sealed ? "sealed" : kob::describe(listing.scan.indexState);
}

void printJson(const Listing& listing) {
  const kob::ScanReport& scan = listing.scan;
  const bool standardInput = listing.name == kStandardStream;
  const std::string name = kob::isRemote(listing.name)
                               ? kob::displayName(listing.name)
                               : listing.name;
  std::printf(
      "{\"name\":%s,\"packed\":%lld,\"unpacked\":%llu,\"saved\":%.1f,"
      "\"chunks\":%llu,\"chunk_size\":%u,\"index\":%s,\"sealed\":%s",
      jsonString(name).c_str(), static_cast<long long>(scan.packedSize),
      static_cast<unsigned long long>(scan.dataSize),
      savedPercent(scan.dataSize, static_cast<std::uint64_t>(scan.packedSize)),
      static_cast<unsigned long long>(scan.chunks), scan.largestChunk,
      standardInput ? "null" : jsonString(indexColumn(listing)).c_str(),
      scan.sealed ? "true" : "false");
  if (!listing.chunks.empty()) {
    const char* separator = "";
    std::printf(",\"chunk_list\":[");
    for (const kob::ChunkInfo& c : listing.chunks) {
      std::printf(
          "%s{\"chunk\":%llu,\"offset\":%lld,\"position\":%llu,"
          "\"stored\":%u,\"unpacked\":%u}",
          separator, static_cast<unsigned long long>(c.number),
          static_cast<long long>(c.fileOffset),
          static_cast<unsigned long long>(c.position), c.payloadSize,
          c.dataSize);
      separator = ",";
    }
    std::printf("]");
  }
  std::printf("}\n");
}

void printRow(const Listing& listing) {
  const kob::ScanReport& scan = listing.scan;
  const char* index =
      listing.name == kStandardStream ? "-" : indexColumn(listing);
  std::printf("%12lld %12llu %7s %8llu %10u %8s  %s\n",
              static_cast<long long>(scan.packedSize),
              static_cast<unsigned long long>(scan.dataSize),
              savedShare(scan.dataSize,
                         static_cast<std::uint64_t>(scan.packedSize))
                  .c_str(),
              static_cast<unsigned long long>(scan.chunks), scan.largestChunk,
              index, shownName(listing.name).c_str());
  if (listing.chunks.empty()) return;
  std::printf("%12s %12s %12s %8s %10s\n", "chunk", "offset", "position",
              "stored", "unpacked");
  for (const kob::ChunkInfo& c : listing.chunks) {
    std::printf("%12llu %12lld %12llu %8u %10u\n",
                static_cast<unsigned long long>(c.number),
                static_cast<long long>(c.fileOffset),
                static_cast<unsigned long long>(c.position), c.payloadSize,
                c.dataSize);
  }
}

// Whether the index of the packed file described by `packed` may be
// written at `indexPath`, a place the user chose: not over the packed file
// itself, nor over anything but a regular file, nor without -f over a
// file that is not an index.
Outcome checkIndexPath(const Options& options, const std::string& indexPath,
                       const struct stat& packed) {
  struct stat existing;
  if (lstat(indexPath.c_str(), &existing) != 0) return Outcome();
  if (stat(indexPath.c_str(), &existing) == 0 &&
      existing.st_dev == packed.st_dev && existing.st_ino == packed.st_ino) {
    return Outcome::failed(indexPath,
                           "is the packed file itself; not replaced by its "
                           "index");
  }
  if (stat(indexPath.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    return Outcome::failed(indexPath, "is not a regular file; not replaced");
  }
  if (options.force) return Outcome();
  unsigned char magic[sizeof kob::kIndexMagic] = {};
  const kob::UniqueFd fd(
      open(indexPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  const bool isIndex =
      fd.get() >= 0 &&
      read(fd.get(), magic, sizeof magic) == static_cast<ssize_t>(sizeof magic) &&
      std::memcmp(magic, kob::kIndexMagic, sizeof magic) == 0;
  return isIndex ? Outcome()
                 : Outcome::skipped(indexPath,
                                    "already exists and is not an index; "
                                    "skipped (use -f to overwrite)");
}

}  // namespace

Outcome test(const Options& options, const std::string& name) {
  Outcome outcome;
  std::optional<kob::ScanReport> scan =
      scanInput(options, name, true, {}, outcome);
  if (!scan) return outcome;
  if (!options.verbose) return Outcome();
  // What was checked, so that nobody takes one OK for another.
  std::string said = "OK (not sealed: content not checked)";
  if (scan->sealed) {
    said = "OK (every chunk checked)";
  } else if (scan->sealedMembers > 0) {
    said = "OK (" + std::to_string(scan->sealedMembers) + " of " +
           std::to_string(scan->members) +
           " members sealed: content checked in those)";
  } else if (scan->contentChecked) {
    said = "OK (content checked against its index)";
  }
  return Outcome::told(shownName(name), said);
}

void printListHeader(const Options& options) {
  if (options.json) return;
  std::printf("%12s %12s %7s %8s %10s %8s  %s\n", "packed", "unpacked", "saved",
              "chunks", "chunk size", "index", "name");
}

void printListTotals(const Options& options, const ListTotals& totals) {
  if (options.json) return;
  std::printf("%12llu %12llu %7s %8llu %10s %8s  (totals: %llu files)\n",
              static_cast<unsigned long long>(totals.packed),
              static_cast<unsigned long long>(totals.unpacked),
              savedShare(totals.unpacked, totals.packed).c_str(),
              static_cast<unsigned long long>(totals.chunks), "", "",
              static_cast<unsigned long long>(totals.files));
}

Outcome list(const Options& options, const std::string& name,
             ListTotals& totals) {
  Outcome outcome;
  std::vector<kob::ChunkInfo> chunks;
  const std::optional<kob::ScanReport> found = scanInput(
      options, name, false,
      [&](const kob::ChunkInfo& c) {
        if (options.verbose) chunks.push_back(c);
      },
      outcome);
  if (!found) return outcome;
  ++totals.files;
  totals.packed += static_cast<std::uint64_t>(found->packedSize);
  totals.unpacked += found->dataSize;
  totals.chunks += found->chunks;
  const Listing listing{name, *found, chunks};
  if (options.json) {
    printJson(listing);
  } else {
    printRow(listing);
  }
  return Outcome();
}

// The index takes the packed file's owner, group and times; nobody but its
// owner may write it, or readers would not trust it. One there already is
// replaced.
Outcome writeIndexFor(const Options& options, const std::string& path,
                      int packedFd) {
  struct stat info;
  if (fstat(packedFd, &info) != 0) {
    return Outcome::failed(path, "cannot read", errno);
  }
  const std::string indexPath = options.indexFile.empty()
                                    ? kob::indexPathFor(path)
                                    : options.indexFile;
  if (!options.indexFile.empty()) {
    if (Outcome allowed = checkIndexPath(options, indexPath, info);
        !allowed.ok()) {
      return allowed;
    }
  }
  kobsupport::OutputFile index(indexPath);
  if (kobsupport::OutputError problem = index.create()) {
    return Outcome::failed(indexPath, problem.action, problem.error);
  }
  std::FILE* out = index.stream();
  if (out == nullptr) return Outcome::failed(indexPath, "cannot create", errno);
  const kob::ScanReport scan = kob::writeIndex(packedFd, out);
  if (scan.failure.damage == kob::Damage::NotPacked) {
    return Outcome::failed(path, "not a packed file; not indexed");
  }
  if (scan.failure.ok() && scan.sealedMembers > 0) {
    return Outcome::skipped(path, "sealed: its seal is its index; none written");
  }
  if (scan.failure.failed()) {
    return Outcome::failed(path, scan.failure.describe() +
                                     (scan.failure.isDamage() ? "; not indexed"
                                                              : ""));
  }
  struct stat kept = info;
  kept.st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
  if (kobsupport::OutputError problem = index.commit(&kept, true)) {
    return Outcome::failed(indexPath, problem.action, problem.error);
  }
  return Outcome();
}

}  // namespace kobtool
