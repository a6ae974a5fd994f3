// Writing a payload: the entry stream of a directory tree, compressed into one zstd frame,
// framed by the container header, the alignment bytes and the length trailer.
//
// Library use (tests, the exe subcommand): fill a PackRequest and call
//   build_payload_bytes(request, &bytes, &error)  for the payload in memory, or
//   write_payload_file(request, &error)           for a file at request.output.
// Both return false with a one-line message in *error on any failure; neither prints or
// ends the process. The same request always gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// A careful user packs once per release and ships the result to every user: level 19
// buys a payload about a sixth smaller than level 9 at no cost in decoding speed, and the
// extra minutes are paid once. Day-to-day builds can pass a lower --level.
constexpr int pack_default_level = 19;
constexpr int pack_min_level = 1;
constexpr int pack_max_level = 22;
constexpr int pack_max_threads = 64;

struct PackRequest {
  std::filesystem::path directory;     // DIR: every regular file below it is packed
  std::filesystem::path main_library;  // relative to DIR (or absolute, inside DIR); packed first
  std::filesystem::path output;        // for write_payload_file only
  int level = pack_default_level;
  bool checksum = false;  // a content checksum in the frame
  int threads = 0;        // 0: compress on the calling thread; N > 0: N zstd workers
  bool show_progress = false;  // a progress line on standard error, updated in place
};

// The payload in memory.
bool build_payload_bytes(const PackRequest& request, std::vector<unsigned char>* out,
                         std::string* error);

// The payload written to request.output: written beside it as "<output>.tmp-<pid>",
// flushed and renamed over it. On failure the temporary file is removed and any existing
// output is left untouched.
bool write_payload_file(const PackRequest& request, std::string* error);

// Where the payload bytes go, in order; returns false (with *error set) to stop.
using PayloadSink = std::function<bool(const unsigned char* data, size_t size, std::string* error)>;

// The core of both forms above: walks request.directory, then streams the container to sink.
bool write_payload(const PackRequest& request, const PayloadSink& sink, std::string* error);
