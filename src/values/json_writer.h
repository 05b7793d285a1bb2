// Compact JSON text of document values.
//
// No whitespace outside strings, no line break at the end. Object members in
// key order. Strings escape only '"', '\\' and the bytes 0x00-0x1F (\b \f \n
// \r \t, else \u00xx in lower-case hex); "/" and everything else, non-ASCII
// included, goes out as it is. Floats use the text form of float_format.h.

#ifndef MOXAL_VALUES_JSON_WRITER_H_
#define MOXAL_VALUES_JSON_WRITER_H_

#include <string>

#include "values/byte_io.h"
#include "values/value.h"

namespace moxal {

// Writes the text of `v` into `out`. Returns false when the sink behind
// `out` failed; the writer then stops early and the sink holds a prefix.
// The caller flushes `out`.
bool WriteJson(ValueRef v, OutBuffer& out);

}  // namespace moxal

#endif  // MOXAL_VALUES_JSON_WRITER_H_
