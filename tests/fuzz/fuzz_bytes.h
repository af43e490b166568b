// Decodes fuzz input into numbers. Float tags favour the values that break
// geometry code (NaN, infinities, signed zeros, huge and tiny magnitudes) over
// raw bit patterns, which would find them only rarely.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzBytes {
  public:
    FuzzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }

    // Zero once the input is used up, so decoding always ends.
    uint8_t byte() { return empty() ? 0 : data_[position_++]; }

    uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }

    float number() {
        switch (byte() % 16) {
        case 0:
            return std::nanf("");
        case 1:
            return INFINITY;
        case 2:
            return -INFINITY;
        case 3:
            return 0.0f;
        case 4:
            return -0.0f;
        case 5:
            return 1e30f;
        case 6:
            return -1e30f;
        case 7:
            return FLT_MAX;
        case 8:
            return 1e-40f; // subnormal
        case 9:
            return 1e-7f;
        case 10: {
            float raw;
            const uint32_t bits = static_cast<uint32_t>(word()) | static_cast<uint32_t>(word())
                                                                      << 16;
            std::memcpy(&raw, &bits, sizeof raw);
            return raw;
        }
        default:
            // Small coordinates on a grid of quarters, so that primitives meet
            // split planes and each other exactly.
            return static_cast<float>(static_cast<int8_t>(byte())) * 0.25f;
        }
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};
