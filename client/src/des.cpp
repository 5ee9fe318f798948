// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/des.h"

#include <array>
#include <cstring>

// Bits are numbered as the standard numbers them: bit 0 is the most significant bit of the
// first byte. The right half is kept rotated left by one bit during the rounds, so that each
// S-box's six expanded input bits sit together in one byte of a rotated copy; the SP tables
// and the cooked keys are laid out for that.

namespace {

using SBox = std::array<std::array<uint8_t, 16>, 4>;

constexpr std::array<SBox, 8> kSBoxes = {{
    {{{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
      {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
      {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
      {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}}},
    {{{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
      {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
      {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
      {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}}},
    {{{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
      {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
      {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
      {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}}},
    {{{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
      {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
      {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
      {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}}},
    {{{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
      {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
      {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
      {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}}},
    {{{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
      {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
      {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
      {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}}},
    {{{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
      {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
      {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
      {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}}},
    {{{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
      {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
      {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
      {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}},
}};

// The permutation P after the S-boxes: output bit i (1-based) is input bit kPermutation[i].
constexpr std::array<uint8_t, 32> kPermutation = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                                  26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                                  3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

constexpr bool EveryRowIsAPermutation() {
    for (const SBox& box : kSBoxes) {
        for (const auto& row : box) {
            unsigned seen = 0;
            for (uint8_t value : row) seen |= 1u << value;
            if (seen != 0xFFFFu) return false;
        }
    }
    return true;
}
static_assert(EveryRowIsAPermutation(), "an S-box row is not a permutation of 0..15");

using SpTable = std::array<std::array<uint32_t, 64>, 8>;

// SP[b][x]: S-box b on the six expanded bits x (first bit most significant), placed in its
// four output positions, through P, and rotated left by one like the halves in the rounds.
constexpr SpTable BuildSpTables() {
    SpTable table{};
    for (int box = 0; box < 8; ++box) {
        for (int x = 0; x < 64; ++x) {
            int row = ((x >> 4) & 2) | (x & 1);
            int column = (x >> 1) & 15;
            uint32_t sOut = static_cast<uint32_t>(kSBoxes[box][row][column]) << (28 - 4 * box);
            uint32_t permuted = 0;
            for (int i = 0; i < 32; ++i) {
                if (sOut & (0x80000000u >> (kPermutation[i] - 1))) permuted |= 0x80000000u >> i;
            }
            table[box][x] = (permuted << 1) | (permuted >> 31);
        }
    }
    return table;
}

constexpr SpTable kSp = BuildSpTables();

// Permuted choice 1: which key bit goes into each of the 56 bits of C and D.
constexpr uint8_t kPc1[56] = {56, 48, 40, 32, 24, 16, 8,  0,  57, 49, 41, 33, 25, 17,
                              9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43, 35,
                              62, 54, 46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21,
                              13, 5,  60, 52, 44, 36, 28, 20, 12, 4,  27, 19, 11, 3};

// Left rotations of C and D before each round, accumulated.
constexpr uint8_t kTotalRotations[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};

// Permuted choice 2: which bit of the rotated C and D goes into each of the 48 subkey bits.
constexpr uint8_t kPc2[48] = {13, 16, 10, 23, 0,  4,  2,  27, 14, 5,  20, 9,  22, 18, 11, 3,
                              25, 7,  15, 6,  26, 19, 12, 1,  40, 51, 30, 36, 46, 54, 29, 39,
                              50, 44, 32, 47, 43, 48, 38, 55, 33, 52, 45, 41, 49, 35, 28, 31};

inline uint32_t RotateRight(uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

inline uint32_t RotateLeft(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// Swaps the bits of a selected by mask with those of b shifted right by shift (the
// building block of the initial and final permutations).
inline void SwapBits(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
    uint32_t work = ((a >> shift) ^ b) & mask;
    b ^= work;
    a ^= work << shift;
}

inline uint32_t Feistel(uint32_t half, const uint32_t* keys) {
    uint32_t work = RotateRight(half, 4) ^ keys[0];
    uint32_t f = kSp[6][work & 0x3F] | kSp[4][(work >> 8) & 0x3F] | kSp[2][(work >> 16) & 0x3F] |
                 kSp[0][(work >> 24) & 0x3F];
    work = half ^ keys[1];
    f |= kSp[7][work & 0x3F] | kSp[5][(work >> 8) & 0x3F] | kSp[3][(work >> 16) & 0x3F] |
         kSp[1][(work >> 24) & 0x3F];
    return f;
}

}  // namespace

void deskey(const unsigned char key[8], short edf, DesKeySchedule* schedule) {
    unsigned char pc1m[56];
    unsigned char pcr[56];
    uint32_t raw[32];
    for (int j = 0; j < 56; ++j) {
        int bit = kPc1[j];
        pc1m[j] = (key[bit >> 3] & (0x80 >> (bit & 7))) ? 1 : 0;
    }
    for (int i = 0; i < 16; ++i) {
        int m = (edf == DE1) ? (15 - i) << 1 : i << 1;
        int n = m + 1;
        raw[m] = raw[n] = 0;
        // C and D rotate separately, each within its own 28 bits.
        for (int j = 0; j < 28; ++j) {
            int l = j + kTotalRotations[i];
            pcr[j] = pc1m[l < 28 ? l : l - 28];
        }
        for (int j = 28; j < 56; ++j) {
            int l = j + kTotalRotations[i];
            pcr[j] = pc1m[l < 56 ? l : l - 28];
        }
        for (int j = 0; j < 24; ++j) {
            if (pcr[kPc2[j]]) raw[m] |= 0x800000u >> j;
            if (pcr[kPc2[j + 24]]) raw[n] |= 0x800000u >> j;
        }
    }
    cookey(raw, schedule);
}

void cookey(const uint32_t raw[32], DesKeySchedule* schedule) {
    uint32_t dough[32];
    for (int i = 0; i < 16; ++i) {
        uint32_t raw0 = raw[2 * i];
        uint32_t raw1 = raw[2 * i + 1];
        // Groups 1, 3, 5, 7 into the first word and 2, 4, 6, 8 into the second, one per byte.
        dough[2 * i] = ((raw0 & 0x00FC0000u) << 6) | ((raw0 & 0x00000FC0u) << 10) |
                       ((raw1 & 0x00FC0000u) >> 10) | ((raw1 & 0x00000FC0u) >> 6);
        dough[2 * i + 1] = ((raw0 & 0x0003F000u) << 12) | ((raw0 & 0x0000003Fu) << 16) |
                           ((raw1 & 0x0003F000u) >> 4) | (raw1 & 0x0000003Fu);
    }
    usekey(dough, schedule);
}

void usekey(const uint32_t from[32], DesKeySchedule* schedule) {
    std::memcpy(schedule->keys, from, sizeof schedule->keys);
}

void cpkey(const DesKeySchedule& schedule, uint32_t into[32]) {
    std::memcpy(into, schedule.keys, sizeof schedule.keys);
}

void scrunch(const unsigned char outof[8], uint32_t into[2]) {
    for (int w = 0; w < 2; ++w) {
        const unsigned char* p = outof + 4 * w;
        into[w] = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                  (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    }
}

void unscrun(const uint32_t outof[2], unsigned char into[8]) {
    for (int w = 0; w < 2; ++w) {
        unsigned char* p = into + 4 * w;
        p[0] = static_cast<unsigned char>(outof[w] >> 24);
        p[1] = static_cast<unsigned char>(outof[w] >> 16);
        p[2] = static_cast<unsigned char>(outof[w] >> 8);
        p[3] = static_cast<unsigned char>(outof[w]);
    }
}

void desfunc(uint32_t block[2], const uint32_t keys[32]) {
    uint32_t left = block[0];
    uint32_t right = block[1];

    // Initial permutation.
    SwapBits(left, right, 4, 0x0F0F0F0Fu);
    SwapBits(left, right, 16, 0x0000FFFFu);
    SwapBits(right, left, 2, 0x33333333u);
    SwapBits(right, left, 8, 0x00FF00FFu);
    right = RotateLeft(right, 1);
    uint32_t work = (left ^ right) & 0xAAAAAAAAu;
    left ^= work;
    right ^= work;
    left = RotateLeft(left, 1);

    for (int round = 0; round < 8; ++round) {
        left ^= Feistel(right, keys);
        right ^= Feistel(left, keys + 2);
        keys += 4;
    }

    // Final permutation, the inverse of the initial one, with the halves swapped.
    right = RotateRight(right, 1);
    work = (left ^ right) & 0xAAAAAAAAu;
    left ^= work;
    right ^= work;
    left = RotateRight(left, 1);
    SwapBits(left, right, 8, 0x00FF00FFu);
    SwapBits(left, right, 2, 0x33333333u);
    SwapBits(right, left, 16, 0x0000FFFFu);
    SwapBits(right, left, 4, 0x0F0F0F0Fu);
    block[0] = right;
    block[1] = left;
}

void des(const DesKeySchedule& schedule, const unsigned char from[8], unsigned char into[8]) {
    uint32_t work[2];
    scrunch(from, work);
    desfunc(work, schedule.keys);
    unscrun(work, into);
}
