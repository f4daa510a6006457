#include "job/input_files.h"

#define XXH_INLINE_ALL  // the hash compiled from its header: no library to link
#include <xxhash.h>

#include <cerrno>

#include "job/compressed_input.h"
#include "job/job_errors.h"

namespace tessarune::job {
namespace {

constexpr size_t kSeedBytes = size_t{1} << 16;

// Reads up to `limit` bytes, to the end of the file if it comes first.
EngineResult<std::string> read_up_to(ReadableFile& file, size_t limit) {
    std::string data;
    char chunk[65536];
    while (data.size() < limit) {
        const size_t want = std::min(sizeof chunk, limit - data.size());
        EngineResult<size_t> got = file.read(reinterpret_cast<uint8_t*>(chunk), want);
        if (!got) {
            if (got.error().kind() == ErrorKind::Interrupted) continue;
            return Unexpected(std::move(got).error());
        }
        if (*got == 0) break;
        data.append(chunk, *got);
    }
    return data;
}

EngineResult<std::unique_ptr<ReadableFile>> open_named(FileOps& ops, const std::string& name) {
    return name == "-" ? ops.standard_input() : ops.open_input(name);
}

}  // namespace

EngineResult<std::vector<InputFile>> check_inputs(FileOps& ops, const std::vector<std::string>& names,
                                                  std::string_view wording) {
    const std::vector<std::string> standard_input_alone{"-"};
    const std::vector<std::string>& all = names.empty() ? standard_input_alone : names;
    std::vector<InputFile> inputs;
    inputs.reserve(all.size());
    std::vector<bool> directories;
    // Every missing or unreadable input is found before any directory, as the traditional
    // command finds a directory only when it reads it.
    for (const std::string& name : all) {
        const bool standard = name == "-";
        EngineResult<FileOps::InputStatus> status = standard ? ops.standard_input_status() : ops.input_status(name);
        if (!status) return Unexpected(file_error(standard ? "stat failed" : wording, name, status.error()));
        InputFile input{name, std::nullopt, std::nullopt};
        if (status->regular) {
            input.size = status->size;
            input.identity = std::make_pair(status->device, status->inode);
        }
        inputs.push_back(std::move(input));
        directories.push_back(status->directory);
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (directories[i]) {
            return Unexpected(file_error("read failed", inputs[i].name, EngineError::from_errno(EISDIR)));
        }
    }
    return inputs;
}

EngineResult<std::unique_ptr<ReadableFile>> open_input(FileOps& ops, const std::string& name,
                                                       std::string_view wording) {
    EngineResult<std::unique_ptr<ReadableFile>> file = open_named(ops, name);
    if (!file) return Unexpected(file_error(wording, name, file.error()));
    return file;
}

EngineResult<std::unique_ptr<ReadableFile>> open_job_input(FileOps& ops, const JobSpec& spec, const std::string& name,
                                                           std::string_view wording) {
    std::unique_ptr<ReadableFile> file = TR_TRY(open_input(ops, name, wording));
    if (!decompresses_inputs(spec)) return file;
    EngineResult<std::unique_ptr<ReadableFile>> text = read_decompressed(std::move(file), name);
    if (!text) return Unexpected(file_error("read failed", name, text.error()));
    return text;
}

EngineResult<std::vector<std::string>> read_files0_from(FileOps& ops, const std::string& source) {
    EngineResult<std::unique_ptr<ReadableFile>> file = open_named(ops, source);
    if (!file) return Unexpected(file_error("open failed", source, file.error()));
    EngineResult<std::string> data = read_up_to(**file, SIZE_MAX);
    if (!data) return Unexpected(data.error().with_message("cannot read file names from '" + source + "'"));
    if (data->empty()) return Unexpected(EngineError(ErrorKind::InvalidArgument, "no input from '" + source + "'"));

    std::vector<std::string> names;
    size_t start = 0;
    while (start < data->size()) {
        size_t end = data->find('\0', start);
        if (end == std::string::npos) end = data->size();
        std::string name = data->substr(start, end - start);
        const std::string number = std::to_string(names.size() + 1);
        if (name.empty()) {
            return Unexpected(EngineError(ErrorKind::InvalidArgument,
                                          source + ":" + number + ": invalid zero-length file name"));
        }
        if (source == "-" && name == "-") {
            return Unexpected(EngineError(ErrorKind::InvalidArgument,
                                          "when reading file names from stdin, no file name of '-' allowed"));
        }
        names.push_back(std::move(name));
        start = end + 1;
    }
    return names;
}

EngineResult<uint64_t> random_seed_from_file(FileOps& ops, const std::string& path) {
    EngineResult<std::unique_ptr<ReadableFile>> file = open_named(ops, path);
    if (!file) return Unexpected(file_error("open failed", path, file.error()));
    EngineResult<std::string> data = read_up_to(**file, kSeedBytes);
    if (!data) {
        const EngineError& e = data.error();
        const std::string reason = e.os_code() != 0 ? system_text(e.os_code()) : e.message();
        return Unexpected(e.with_message("'" + path + "': read error: " + reason));
    }
    return static_cast<uint64_t>(XXH3_64bits(data->data(), data->size()));
}

std::optional<uint64_t> total_size(const std::vector<InputFile>& inputs) {
    uint64_t total = 0;
    for (const InputFile& input : inputs) {
        if (!input.size) return std::nullopt;
        total += *input.size;
    }
    return total;
}

}  // namespace tessarune::job
