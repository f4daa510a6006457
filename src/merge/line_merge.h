// A streaming merge of files whose lines are already sorted (the command line's -m), and the
// order check of one such file (-c): one line of each input in memory at a time, read through
// a LineReader, and no run files.
//
// Lines compare by their line keys (format/line_key.h), or, with no plan, by their own bytes
// (a line before every longer line it begins). Lines of equal keys come out in the order of
// their inputs. With check_order, each input is checked as it is read: a line whose key is
// below the previous line's of that input stops the merge (with strict_order, an equal key does
// too, as -c -u asks), and disorder() says where. Without it (-m), unsorted inputs are merged as
// they are: the least of the inputs' current lines goes next.
//
// The output goes to a LineSink in buffers of Options::output_buffer bytes (or one longer line).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/expected.h"
#include "base/growable_array.h"
#include "format/line_key.h"
#include "format/line_reader.h"

namespace tessarune::merge {

// Where a merge's output goes: each call hands over whole lines, with their separators.
class LineSink {
public:
    virtual ~LineSink() = default;
    // Takes all of `data` or fails.
    virtual EngineStatus write(Bytes data) = 0;
};

class LineMerge {
public:
    struct Options {
        uint8_t separator = '\n';   // ends the lines read and written
        bool unique = false;        // of lines with equal keys, write the first only
        bool check_order = true;    // a line below the one before it in its input stops the merge
        bool strict_order = false;  // equal keys in one input are out of order too
        // Where the output goes in its file (written with pwrite), or nullopt: at its position.
        // Only for an output descriptor.
        std::optional<uint64_t> output_offset;
        size_t output_buffer = size_t{256} << 10;  // bytes gathered before the sink takes them
    };

    // Where an input was found out of order: its index, the line's number (from 1) and bytes.
    struct Disorder {
        size_t input = 0;
        uint64_t line_number = 0;
        std::string line;
    };

    enum class Step { More, Done, OutOfOrder };

    // Does not own the descriptors nor the sink. output null: nothing is written (the check
    // alone). `ranges`: empty, or the part of each input to read.
    LineMerge(std::optional<format::LineKeyPlan> plan, Options options, const std::vector<int>& input_fds,
              LineSink* output, const std::vector<format::LineReader::Range>& ranges = {});
    // The same writing to a descriptor (-1: nothing is written), with write or pwrite.
    LineMerge(std::optional<format::LineKeyPlan> plan, Options options, const std::vector<int>& input_fds,
              int output_fd, const std::vector<format::LineReader::Range>& ranges = {});

    // Merges until `max_lines` lines have been read or the merge ends: Done once every line is
    // written (and flushed), OutOfOrder at the first disorder (what was merged before it is
    // written). A read or write error ends the merge.
    EngineResult<Step> run(uint64_t max_lines);

    // REQUIRES: run() returned OutOfOrder.
    const Disorder& disorder() const { return disorder_; }

    // After run() failed: the input whose read failed, or nullopt when the write did.
    std::optional<size_t> failed_input() const { return failed_input_; }

    // The bytes of input's lines read so far, each counted with a separator.
    uint64_t bytes_read(size_t input) const { return inputs_[input].bytes_read; }

private:
    struct Input {
        explicit Input(format::LineReader r) : reader(std::move(r)) {}

        format::LineReader reader;
        Bytes line;          // the current line, valid until the reader's next line
        Bytes key;           // its key: the line itself, or key_buffer
        uint64_t prefix = 0;   // the key's first 8 bytes, big-endian, zero-padded
        uint64_t prefix2 = 0;  // and the 8 after them
        bool done = false;   // no line left
        uint64_t bytes_read = 0;
        ByteBuffer key_buffer;
        ByteBuffer earlier;  // the key of the line before it, when keys are made
    };

    enum class Advance { Line, End, OutOfOrder };
    EngineResult<Advance> advance(size_t i);  // reads input i's next line
    // Whether input a's line goes first: the lesser key, or the same key and a < b; an input
    // that is done goes last (its prefixes are all ones, so only a tie needs to ask).
    bool before(uint32_t a, uint32_t b) const {
        const Input& x = inputs_[a];
        const Input& y = inputs_[b];
        if (x.prefix != y.prefix) return x.prefix < y.prefix;
        if (x.prefix2 != y.prefix2) return x.prefix2 < y.prefix2;
        return before_past_prefixes(a, b);
    }
    bool before_past_prefixes(uint32_t a, uint32_t b) const;
    uint32_t build(size_t node);  // the tournament below node; returns its winner
    void replay(uint32_t input);  // input's line changed: its way up the tree again
    EngineStatus write_line(Bytes line);
    EngineStatus flush();

    std::optional<format::LineKeyPlan> plan_;
    Options options_;
    std::unique_ptr<LineSink> own_output_;  // the descriptor's, when given one
    LineSink* output_;
    std::vector<Input> inputs_;
    // A tournament tree over the inputs (leaves k..2k-1 stand for inputs 0..k-1): each inner
    // node holds the input that lost there, losers_[0] the overall winner. Replacing the
    // winner's line costs one comparison per level.
    std::vector<uint32_t> losers_;
    ByteBuffer scratch_;
    ByteBuffer last_written_;  // the key of the last line written, for unique
    bool wrote_any_ = false;
    bool started_ = false;
    ByteBuffer out_;
    Disorder disorder_;
    std::optional<size_t> failed_input_;
};

}  // namespace tessarune::merge
