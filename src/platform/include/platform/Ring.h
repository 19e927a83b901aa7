#pragma once

// The wrap-around arithmetic of a byte ring whose state its owner keeps, under
// the owner's own names and lock: a block of capacity bytes, head (where the
// next byte goes), tail (the next byte to take) and full, which tells a full
// ring from an empty one when head and tail meet. A Ring is made for the
// length of one operation under that lock and holds nothing of its own.

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace platform {

class Ring {
public:
    Ring(std::uint8_t* block, std::uint32_t capacity, std::uint32_t& head, std::uint32_t& tail,
         bool& full) noexcept
        : block_(block), capacity_(block != nullptr ? capacity : 0), head_(head), tail_(tail),
          full_(full)
    {
    }

    std::uint32_t Capacity() const noexcept { return capacity_; }
    bool Empty() const noexcept { return head_ == tail_ && !full_; }
    std::uint32_t Held() const noexcept
    {
        if (head_ == tail_) {
            return full_ ? capacity_ : 0;
        }
        return head_ > tail_ ? head_ - tail_ : head_ + capacity_ - tail_;
    }
    std::uint32_t Free() const noexcept { return capacity_ - Held(); }

    // The held bytes that lie in one piece from the tail, and the free room
    // in one piece from the head.
    std::uint32_t HeldRun() const noexcept { return std::min(Held(), capacity_ - tail_); }
    std::uint32_t FreeRun() const noexcept { return std::min(Free(), capacity_ - head_); }
    std::uint8_t* AtHead() const noexcept { return block_ + head_; }
    std::uint8_t* AtTail() const noexcept { return block_ + tail_; }

    // position moved on by n, across the end.
    std::uint32_t Step(std::uint32_t position, std::uint32_t n) const noexcept
    {
        return capacity_ == 0 ? 0 : (position + n) % capacity_;
    }
    // How far position lies past the tail.
    std::uint32_t Offset(std::uint32_t position) const noexcept
    {
        return capacity_ == 0 ? 0 : (position + capacity_ - tail_) % capacity_;
    }
    std::uint8_t ByteAt(std::uint32_t position) const noexcept { return block_[position]; }

    // n bytes (at most Free()) have been put at the head, in one piece or
    // by Put.
    void Produced(std::uint32_t n) noexcept
    {
        if (n == 0) {
            return;
        }
        head_ = Step(head_, n);
        full_ = head_ == tail_;
    }
    // n bytes (at most Held()) have been taken at the tail.
    void Consumed(std::uint32_t n) noexcept
    {
        if (n == 0) {
            return;
        }
        tail_ = Step(tail_, n);
        full_ = false;
    }

    // Copies in what fits of count bytes at the head, across the end, and
    // returns how many.
    std::uint32_t Put(const std::uint8_t* source, std::uint32_t count) noexcept
    {
        count = std::min(count, Free());
        const std::uint32_t first = std::min(count, capacity_ - head_);
        if (count > 0) {
            std::memcpy(block_ + head_, source, first);
            std::memcpy(block_, source + first, count - first);
        }
        Produced(count);
        return count;
    }
    // Copies count held bytes (offset + count at most Held()) from offset
    // bytes past the tail, across the end; moves nothing.
    void Peek(std::uint32_t offset, std::uint8_t* destination, std::uint32_t count) const noexcept
    {
        if (count == 0) {
            return;
        }
        const std::uint32_t from = Step(tail_, offset);
        const std::uint32_t first = std::min(count, capacity_ - from);
        std::memcpy(destination, block_ + from, first);
        std::memcpy(destination + first, block_, count - first);
    }

    void Clear() noexcept
    {
        head_ = tail_ = 0;
        full_ = false;
    }

private:
    std::uint8_t* block_;
    std::uint32_t capacity_;
    std::uint32_t& head_;
    std::uint32_t& tail_;
    bool& full_;
};

} // namespace platform
