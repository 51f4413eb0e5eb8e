// SPDX-License-Identifier: GPL-2.0-or-later
//
// The row of the table of schemes for s3://BUCKET/KEY: an object of S3, or
// of a store that speaks its interface, read as every remote source is
// (source/remote_opening.h: ranged GETs through libcurl, its identity its
// ETag with If-Match on every request after the first, its saved index
// KEY.kbi beside it asked for at once).
//
// Requests go path-style to the endpoint (ENDPOINT/BUCKET/KEY), the key
// encoded as AWS encodes a path, and are signed with AWS Signature
// Version 4 by libcurl (an unsigned payload; the session token, where
// there is one, in x-amz-security-token) with the settings AWS's command
// line would use (source/aws_settings.h); unsigned when none are found.
// Redirects are not followed: the signature and token stay with the
// endpoint they were meant for.
//
// S3's error codes decide the errno and are the failure's detail, with
// S3's message: NoSuchKey, NoSuchBucket: ENOENT; AccessDenied,
// SignatureDoesNotMatch, InvalidAccessKeyId, InvalidToken, ExpiredToken,
// RequestTimeTooSkewed and the like: EACCES; PreconditionFailed (the
// object replaced): ESTALE; SlowDown, InternalError, ServiceUnavailable:
// tried again, then EIO.

#ifndef KOB_SOURCE_S3_SOURCE_H
#define KOB_SOURCE_S3_SOURCE_H

#include <memory>
#include <string>

#include "kob_failure.h"
#include "source/schemes.h"
#include "source/source.h"

namespace kob {

struct S3Name {
  std::string bucket;
  std::string key;
};

// Splits s3://BUCKET/KEY. Returns false where it names no object: no
// bucket or no key, or a bucket name S3 cannot have (its letters are
// A-Z a-z 0-9 . - _, at most 255 of them).
bool parseS3Name(const std::string& name, S3Name& parts);

// `key` as AWS encodes it in a path: every byte but A-Z a-z 0-9 - . _ ~ /
// as %XX, in upper case.
std::string encodedKey(const std::string& key);

// What an S3 error's XML body says: its code and message (entities
// decoded, control characters made spaces, the message cut at a few
// hundred bytes); "" for what is not there, or a code that is not a word.
struct S3Error {
  std::string code;
  std::string message;
};
S3Error s3ErrorOf(const std::string& body);

// Opens `name` with the settings `rules.s3` gives, the rest found as
// source/aws_settings.h says. Returns null with `failure` set when it
// cannot be read (see RemoteSource::open, and S3's codes above), EINVAL
// for a name that names no object or settings that cannot be used,
// EPROTONOSUPPORT when this build has no support for URLs or libcurl
// cannot be loaded.
std::unique_ptr<Source> openS3(const std::string& name, Purpose purpose,
                               const OpenRules& rules, Failure& failure);

}  // namespace kob

#endif  // KOB_SOURCE_S3_SOURCE_H
