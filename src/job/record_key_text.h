// The keys of JSON Lines and CSV records as -k writes them, and as sort_files' key texts do:
//
//   KEYS := KEY (',' KEY)*        KEY := NAME (':' OPTION)*
//
// NAME is a dotted path of JSON fields, a CSV column's name, or @N, the N-th CSV column from 1.
// A step or column name in double quotes is literal (\" and \\ are its escapes), so any name
// can be written. OPTION is a type (text, number or n, timestamp), a direction (asc, desc or
// r) or a place for nulls (nulls_first, nulls_last), each kind at most once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "format/record_key.h"
#include "job/job_spec.h"

namespace tessarune::job {

// The keys of one text, appended to `keys`. Errors name the key text: "invalid key 'a:up':
// unknown option 'up' (options: ...)". `header`: CSV columns may be named (else only @N).
Expected<void, std::string> parse_record_keys(std::string_view text, RecordFormat format, bool header,
                                              std::vector<format::RecordKey>& keys);

// One NAME alone, with no option after it (a key given as a name and separate settings, as
// Python's Key is): errors as parse_record_keys words them.
Expected<format::RecordKey, std::string> parse_record_key_name(std::string_view text, RecordFormat format, bool header);

// Where `key`'s nulls go when told apart from the key's text (nulls_last=True/False): an
// error when the key's own option says otherwise.
Expected<void, std::string> place_nulls(format::RecordKey& key, bool last);

// The global -n and -r folded into the keys: -r reverses every key, -n types the only key.
Expected<void, std::string> fold_record_options(std::vector<format::RecordKey>& keys, bool numeric, bool reverse);

}  // namespace tessarune::job
