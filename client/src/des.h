// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Single DES (64-bit blocks, 56-bit keys; the low bit of each key byte is parity and is
// ignored) in electronic codebook mode, as the box link enciphers its bodies.
//
// A key schedule is a value owned by its caller: deskey builds one, des runs blocks through
// it. Nothing is shared between calls or threads, so any number of threads may encipher at
// once, each with its own schedule. The round functions use precomputed S-box and
// permutation tables (the SP tables), built at compile time from the standard's tables.

#include <cstdint>

// Direction of a key schedule.
inline constexpr short EN0 = 0;  // encipher
inline constexpr short DE1 = 1;  // decipher: the same subkeys in reverse order

// The 16 round keys in the layout of the round function: two 32-bit words per round,
// each holding four 6-bit subkey groups in the bytes the SP tables are indexed by.
struct DesKeySchedule {
    uint32_t keys[32];
};

// Builds the schedule of the 8-byte key for direction EN0 or DE1 into *schedule.
void deskey(const unsigned char key[8], short edf, DesKeySchedule* schedule);

// Runs one 8-byte block through the schedule; from and into may be the same buffer.
void des(const DesKeySchedule& schedule, const unsigned char from[8], unsigned char into[8]);

// Turns the 32 raw 24-bit halves of the 16 48-bit subkeys into the round layout.
void cookey(const uint32_t raw[32], DesKeySchedule* schedule);

// Loads a schedule from 32 cooked words.
void usekey(const uint32_t from[32], DesKeySchedule* schedule);

// Copies a schedule's 32 cooked words out.
void cpkey(const DesKeySchedule& schedule, uint32_t into[32]);

// Packs 8 bytes into two big-endian 32-bit words.
void scrunch(const unsigned char outof[8], uint32_t into[2]);

// Unpacks two 32-bit words into 8 bytes, most significant byte first.
void unscrun(const uint32_t outof[2], unsigned char into[8]);

// The initial permutation, 16 rounds under the cooked keys, and the final permutation,
// in place on the two words of a block.
void desfunc(uint32_t block[2], const uint32_t keys[32]);
