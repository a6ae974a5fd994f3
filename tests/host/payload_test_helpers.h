// Shared by the host tests of the reader and the packer: an entry-stream encoder written
// independently of the packer's, frames made with chosen header fields, temporary trees,
// the packer's commands called in-process.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zstd.h>

namespace test_payload {

namespace fs = std::filesystem;

struct Entry {
  std::u16string name;
  std::string data;
};

inline void append_le(std::string* out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// name in UTF-16LE, its terminator, the 64-bit size, the data; the end marker last.
inline std::string encode_stream(const std::vector<Entry>& entries) {
  std::string out;
  for (const Entry& entry : entries) {
    for (char16_t unit : entry.name) append_le(&out, unit, 2);
    append_le(&out, 0, 2);
    append_le(&out, entry.data.size(), 8);
    out += entry.data;
  }
  append_le(&out, 0, 2);
  return out;
}

struct FrameOptions {
  int window_log = 27;
  bool checksum = false;
  int level = 3;
};

// One frame of unknown content size, so that the declared window is the one asked for.
inline std::string compress_frame(const std::string& input, const FrameOptions& options) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, options.level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.window_log);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  std::string frame;
  std::vector<char> buffer(ZSTD_CStreamOutSize());
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  for (ZSTD_EndDirective mode : {ZSTD_e_continue, ZSTD_e_end}) {
    size_t left = 1;
    while (mode == ZSTD_e_continue ? in.pos < in.size : left != 0) {
      ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
      left = ZSTD_compressStream2(context, &out, &in, mode);
      if (ZSTD_isError(left)) ADD_FAILURE() << ZSTD_getErrorName(left);
      if (ZSTD_isError(left)) break;
      frame.append(buffer.data(), out.pos);
    }
  }
  ZSTD_freeCCtx(context);
  return frame;
}

// Bytes that compress, but not to nothing: a slow counter mixed with a simple generator.
inline std::string make_data(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    data[i] = static_cast<char>((i % 7 == 0) ? (state >> 24) : ((i / 64) & 0xFF));
  }
  return data;
}

inline std::string make_temp_dir() {
  std::string pattern = fs::temp_directory_path().string() + "/tavrin-test-XXXXXX";
  const char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr);
  return pattern;
}

inline void write_file(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary);
  stream.write(data.data(), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(stream.good()) << path;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = stream ? static_cast<std::streamoff>(stream.tellg()) : 0;
  std::string data(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  stream.seekg(0);
  stream.read(data.data(), static_cast<std::streamsize>(data.size()));
  return data;
}

// Standard output of a shell command, and whether it exited with 0.
inline bool run_shell(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  output->clear();
  char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
  return pclose(pipe) == 0;
}

// A command of the packer's command line called in-process (argv as main gets it), with its
// exit code and, where asked for, its standard output and error.
inline int run_command(int (*command)(int, char**), std::vector<std::string> arguments, std::string* out = nullptr,
                       std::string* err = nullptr) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int code = command(static_cast<int>(arguments.size()), argv.data());
  fflush(stdout);
  const std::string captured_out = testing::internal::GetCapturedStdout();
  const std::string captured_err = testing::internal::GetCapturedStderr();
  if (out != nullptr) *out = captured_out;
  if (err != nullptr) *err = captured_err;
  return code;
}

inline bool have_zstd_tool() {
  std::string ignored;
  return run_shell("zstd --version >/dev/null 2>&1", &ignored);
}

}  // namespace test_payload
