// What the pickle subset reads and writes: the opcodes of protocol 5 it
// uses, named as the pickle module names them, and the pickler's rules on
// frames and batches that its bytes must follow to equal pickle.dumps's.
// Fields are little-endian (base/byte_order.h), but for floats, which are
// big-endian.

#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace quillmere::python::pickle {

enum Op : std::uint8_t {
  kMark = '(',
  kStop = '.',
  kPop = '0',
  kPopMark = '1',
  kBinFloat = 'G',
  kBinInt = 'J',
  kBinInt1 = 'K',
  kBinInt2 = 'M',
  kNone = 'N',
  kBinUnicode = 'X',
  kAppend = 'a',
  kAppends = 'e',
  kBinGet = 'h',
  kLongBinGet = 'j',
  kSetItem = 's',
  kTuple = 't',
  kSetItems = 'u',
  kEmptyDict = '}',
  kEmptyList = ']',
  kEmptyTuple = ')',
  kBinBytes = 'B',
  kShortBinBytes = 'C',
  kProto = 0x80,
  kTuple1 = 0x85,
  kTuple2 = 0x86,
  kTuple3 = 0x87,
  kNewTrue = 0x88,
  kNewFalse = 0x89,
  kLong1 = 0x8a,
  kLong4 = 0x8b,
  kShortBinUnicode = 0x8c,
  kMemoize = 0x94,
  kFrame = 0x95,
};

inline constexpr std::uint8_t kProtocol = 5;
inline constexpr std::size_t kFrameTarget = 64 * 1024;  // the pickler starts a new frame here
inline constexpr std::size_t kFrameMin = 4;             // shorter contents get no frame
inline constexpr std::size_t kHeader = 2 + 1 + 8;       // PROTO 5, FRAME, its length
inline constexpr std::size_t kBatch = 1000;
// How the pickler of this interpreter cuts items into batches. Up to 3.14
// only a list or dict of one item is written without MARK, and a dict whose
// size is a multiple of the batch ends with an empty batch; from 3.15 any
// batch of one item goes without MARK, and no batch is empty.
inline constexpr bool kBatchesOfOneAlone = PY_VERSION_HEX >= 0x030F0000;

}  // namespace quillmere::python::pickle
