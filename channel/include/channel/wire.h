// Little-endian field access over byte buffers.
//
// Every fixed-layout record this system exchanges with the miniport is read and written
// through these helpers, never by casting onto a packed struct. The header is freestanding
// (no standard library beyond <stdint.h>/<stddef.h>) so that kernel-mode code can use it.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace wire {

// A field of a record: where it starts and how many bytes it spans.
struct Field {
    size_t offset;
    size_t width;
    constexpr size_t End() const { return offset + width; }
};

constexpr bool InBounds(size_t size, size_t offset, size_t width) {
    return offset <= size && width <= size - offset;
}

// A mutable window on a caller's buffer. Reads and writes are bounds-checked: one that
// would cross the end does nothing and reports false, leaving the output untouched.
class ByteView {
  public:
    constexpr ByteView() = default;
    constexpr ByteView(uint8_t* data, size_t size) : data_(data), size_(size) {}

    constexpr uint8_t* data() const { return data_; }
    constexpr size_t size() const { return size_; }

    bool Get8(size_t off, uint8_t& out) const {
        if (!InBounds(size_, off, 1)) return false;
        out = data_[off];
        return true;
    }
    bool Get16(size_t off, uint16_t& out) const {
        if (!InBounds(size_, off, 2)) return false;
        out = static_cast<uint16_t>(data_[off] | (data_[off + 1] << 8));
        return true;
    }
    bool Get32(size_t off, uint32_t& out) const {
        if (!InBounds(size_, off, 4)) return false;
        out = static_cast<uint32_t>(data_[off]) | (static_cast<uint32_t>(data_[off + 1]) << 8) |
              (static_cast<uint32_t>(data_[off + 2]) << 16) |
              (static_cast<uint32_t>(data_[off + 3]) << 24);
        return true;
    }
    bool Get64(size_t off, uint64_t& out) const {
        uint32_t lo = 0, hi = 0;
        if (!InBounds(size_, off, 8) || !Get32(off, lo) || !Get32(off + 4, hi)) return false;
        out = (static_cast<uint64_t>(hi) << 32) | lo;
        return true;
    }

    bool Put8(size_t off, uint8_t v) const {
        if (!InBounds(size_, off, 1)) return false;
        data_[off] = v;
        return true;
    }
    bool Put16(size_t off, uint16_t v) const {
        if (!InBounds(size_, off, 2)) return false;
        data_[off] = static_cast<uint8_t>(v);
        data_[off + 1] = static_cast<uint8_t>(v >> 8);
        return true;
    }
    bool Put32(size_t off, uint32_t v) const {
        if (!InBounds(size_, off, 4)) return false;
        for (int i = 0; i < 4; ++i) data_[off + i] = static_cast<uint8_t>(v >> (8 * i));
        return true;
    }
    bool Put64(size_t off, uint64_t v) const {
        if (!InBounds(size_, off, 8)) return false;
        for (int i = 0; i < 8; ++i) data_[off + i] = static_cast<uint8_t>(v >> (8 * i));
        return true;
    }

    // Reads of fields whose place the caller has already proven to be inside the buffer
    // (a record of known size); out of bounds they yield 0 rather than touching memory.
    uint8_t U8(size_t off) const {
        uint8_t v = 0;
        Get8(off, v);
        return v;
    }
    uint16_t U16(size_t off) const {
        uint16_t v = 0;
        Get16(off, v);
        return v;
    }
    uint32_t U32(size_t off) const {
        uint32_t v = 0;
        Get32(off, v);
        return v;
    }
    uint64_t U64(size_t off) const {
        uint64_t v = 0;
        Get64(off, v);
        return v;
    }

    // Copies a text into a fixed-width field: at most width-1 characters, then zero-filled,
    // so the field always holds its terminating zero.
    bool PutText(Field f, const char* text) const {
        if (!InBounds(size_, f.offset, f.width) || f.width == 0) return false;
        size_t i = 0;
        for (; text && text[i] != '\0' && i + 1 < f.width; ++i)
            data_[f.offset + i] = static_cast<uint8_t>(text[i]);
        for (; i < f.width; ++i) data_[f.offset + i] = 0;
        return true;
    }

    // Length of the text in a fixed-width field: up to its first zero byte, and never past
    // the field's end when a hostile reply leaves it unterminated.
    size_t TextLength(Field f) const {
        if (!InBounds(size_, f.offset, f.width)) return 0;
        size_t n = 0;
        while (n < f.width && data_[f.offset + n] != 0) ++n;
        return n;
    }
    const char* TextStart(Field f) const {
        return InBounds(size_, f.offset, f.width) ? reinterpret_cast<const char*>(data_ + f.offset)
                                                  : "";
    }

    void Zero() const {
        for (size_t i = 0; i < size_; ++i) data_[i] = 0;
    }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace wire
