// A wide-character text in a fixed, zero-cleared buffer that always keeps its
// terminating null. Appending never writes past the buffer: `Append` refuses a
// piece that does not fit and leaves the text as it was, `AppendCutShort`
// keeps what fits. Paths and command lines use the refusing form, since a path
// or command line cut short names some other file or runs some other command.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace zendrik {

// Length of a text that may lack its terminator: never reads past `capacity`.
inline std::size_t BoundedLength(const wchar_t* text, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && text[length] != L'\0') {
        ++length;
    }
    return length;
}

template <std::size_t Capacity>
class FixedText {
    static_assert(Capacity > 0, "room for the terminator is needed");

public:
    static constexpr std::size_t kCapacity = Capacity;

    FixedText() { Clear(); }

    void Clear() {
        buffer_.fill(L'\0');
        length_ = 0;
    }

    bool Append(const wchar_t* piece) {
        const std::size_t pieceLength = BoundedLength(piece, Capacity);
        if (pieceLength >= Capacity - length_) {
            return false;
        }
        CopyIn(piece, pieceLength);
        return true;
    }

    bool AppendNumber(std::uint32_t value) {
        wchar_t digits[11] = {};
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        wchar_t text[11] = {};
        for (std::size_t i = 0; i < count; ++i) {
            text[i] = digits[count - 1 - i];
        }
        return Append(text);
    }

    void AppendCutShort(const wchar_t* piece) {
        const std::size_t room = Capacity - 1 - length_;
        CopyIn(piece, BoundedLength(piece, room));
    }

    // After Windows has written into data(): take the text up to its first
    // null, and cut it at the last place if Windows left none.
    void AdoptWritten() {
        buffer_[Capacity - 1] = L'\0';
        length_ = BoundedLength(buffer_.data(), Capacity);
    }

    const wchar_t* c_str() const { return buffer_.data(); }
    wchar_t* data() { return buffer_.data(); }
    std::size_t length() const { return length_; }
    bool empty() const { return length_ == 0; }

private:
    void CopyIn(const wchar_t* piece, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            buffer_[length_ + i] = piece[i];
        }
        length_ += count;
        buffer_[length_] = L'\0';
    }

    std::array<wchar_t, Capacity> buffer_;
    std::size_t length_ = 0;
};

// Every directory, path and command line of the installer.
constexpr std::size_t kPathChars = 260;
using PathText = FixedText<kPathChars>;

}  // namespace zendrik
