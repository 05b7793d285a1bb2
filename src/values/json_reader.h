// Reading JSON text into document values.
//
// Strict RFC 8259 grammar: whitespace is space, tab, line feed and carriage
// return only (a byte-order mark is an error); exactly one value, nothing but
// whitespace after it; no comments, trailing commas, NaN or Infinity.
//
// Choices of our own: at most kMaxNesting (127) arrays and objects open at
// once, which bounds the reader's recursion and every later walk of a value;
// an integer without fraction or exponent is a non-negative integer up to
// 2^64-1, a negative integer down to -2^63, otherwise ("-0" included) a
// float; floats are correctly rounded, a value too large fails and one too
// small becomes 0.0; strings must be valid UTF-8 after escapes are resolved,
// with surrogate escapes only in proper pairs; of repeated keys the last
// wins.
//
// Every failure is the same single failure, no value; the only diagnosis
// is where reading stopped (the byte offset into the source of the byte
// that did not fit, or the end of the source when the text ended early),
// for the error's note. A failure of the source itself leaves it unset.

#ifndef MOXAL_VALUES_JSON_READER_H_
#define MOXAL_VALUES_JSON_READER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "values/byte_io.h"
#include "values/value.h"

namespace moxal {

// Where reading stopped on a failure; kNoOffset when the source failed.
inline constexpr uint64_t kNoOffset = UINT64_MAX;

// Reads the whole of `src` as one JSON text into *out. Returns false on any
// failure, including a failure of the source itself; then *stopped_at (when
// given) is where reading stopped.
bool ReadJson(ByteSource& src, Value* out, uint64_t* stopped_at = nullptr);

// Like ReadJson, except that when the text is an array, its elements are
// appended to *elements as separate values and *out is left empty. This is
// how a collection file becomes one blob per document.
bool ReadJsonElements(ByteSource& src, Value* out, std::vector<Value>* elements,
                      uint64_t* stopped_at = nullptr);

// An array split in two at the start of one of its elements, each part read
// on its own (two threads may read the parts of one large collection file
// at once). The head is "[", then elements each followed by ",", and
// nothing after the last "," but whitespace; the tail is elements separated
// by ",", then "]", then nothing but whitespace. Elements are appended to
// *elements. When both parts read, the whole text is the array of their
// elements, as ReadJsonElements would read it; a head that does not read
// means the split was not at an element of the array.
bool ReadJsonArrayHead(ByteSource& src, std::vector<Value>* elements);
bool ReadJsonArrayTail(ByteSource& src, std::vector<Value>* elements);

}  // namespace moxal

#endif  // MOXAL_VALUES_JSON_READER_H_
