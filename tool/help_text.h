// SPDX-License-Identifier: GPL-2.0-or-later
//
// The words of `kob --help` around its list of options (the list is laid
// out from the table of options, tool/options.cpp).

#ifndef KOB_TOOL_HELP_TEXT_H
#define KOB_TOOL_HELP_TEXT_H

namespace kobtool {

constexpr const char* kDescription =
    "Packs files into chunks of 16 KiB compressed with LZO1X-999, which\n"
    "KobFile reads back with random access, and seals them: a trailer lists\n"
    "every chunk with a checksum, so that every read checks what it serves\n"
    "and finds any chunk at once. With no FILE, or when FILE is -, reads\n"
    "standard input and writes standard output.";

constexpr const char* kFooter =
    "Numbers are decimal; they may end in k, M or G (1024, 1024^2, 1024^3).\n"
    "Symbolic links, FIFOs and devices are read only with -f or -c (-t and\n"
    "-l always read them); -f also writes packed data to a terminal, reads it\n"
    "from one, and with -d passes data that is not packed through as it is.\n"
    "-c with several inputs packs them, one after another, into one packed\n"
    "stream. -b and -s imply -d.\n"
    "A FILE that starts with http://, https:// or s3:// is a URL: -d, -t, -l\n"
    "and --recover read it with ranged requests (and its index from URL.kbi\n"
    "when the server has one, or from --index-file); -d writes the last\n"
    "segment of its path, less .kob, in the current directory (as wget does).\n"
    "An s3://BUCKET/KEY is signed with the settings the aws command takes\n"
    "(AWS_PROFILE, AWS_REGION, AWS_ENDPOINT_URL_S3, ~/.aws/credentials...).\n"
    "A server whose certificate comes from a private authority is trusted\n"
    "with --cacert FILE, or CURL_CA_BUNDLE or SSL_CERT_FILE naming FILE.\n"
    "Messages show a URL without its credentials and query. ./http:x names a\n"
    "local file.\n"
    "\n"
    "Examples:\n"
    "  kob dictionary.data             pack into dictionary.data.kob\n"
    "  kob -d dictionary.data.kob      unpack into dictionary.data\n"
    "  kob -c a b > ab.kob             pack a then b as one packed file\n"
    "  kob -o out.kob < data           pack standard input into out.kob\n"
    "  kob -t -v *.kob                 check packed files\n"
    "  kob -l dictionary.data.kob      sizes, space saved, chunks, index\n"
    "  kob -l --json *.kob             the same as JSON, a line a file\n"
    "  kob -i dictionary.data          pack, and write its index\n"
    "  kob --index x.kob               index a packed file\n"
    "  kob -i --index-file ~/x.kbi x.kob  keep its index elsewhere\n"
    "  kob -b 1000 -s 200 x.kob        bytes 1000 to 1199 to standard output\n"
    "  kob -b 1M -s 80 https://host/x.kob  80 bytes from a web server\n"
    "  kob -dc s3://bucket/x.kob       an object of S3 to standard output\n"
    "  kob --cacert ca.pem -dc https://host/x.kob  a server of a private CA\n"
    "  kob -T 0 -B 32k big.data        pack on every core, in 32 KiB chunks\n"
    "  kob -1 big.data                 pack fast (LZO1X-1), a little larger\n"
    "  kob --recover broken.kob        save every intact chunk into broken\n"
    "  kob --seal x.kob                seal a packed file in place\n"
    "  kobcat x.kob | less             unpack to standard output (kob -dc)\n"
    "\n"
    "Exit status: 0 success, 1 error, 2 an input skipped with a warning.\n"
    "See kob(1), and the reference pages in share/doc/kob/ once installed\n"
    "(doc/ in kob's source): command-line.md, remote.md, saved-index.md,\n"
    "damage.md, threads.md, python.md, cpp.md, format.md, benchmarks.md.";

}  // namespace kobtool

#endif  // KOB_TOOL_HELP_TEXT_H
