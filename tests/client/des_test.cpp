// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/des.h"

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nettle/des.h>

namespace {

using Block = std::array<unsigned char, 8>;

Block Encipher(const Block& key, const Block& plain) {
    DesKeySchedule schedule;
    deskey(key.data(), EN0, &schedule);
    Block out;
    des(schedule, plain.data(), out.data());
    return out;
}

Block Decipher(const Block& key, const Block& cipher) {
    DesKeySchedule schedule;
    deskey(key.data(), DE1, &schedule);
    Block out;
    des(schedule, cipher.data(), out.data());
    return out;
}

// Nettle's DES, the reference: it insists on odd parity, which the cipher ignores.
struct NettleDes {
    explicit NettleDes(const Block& key) {
        Block fixed = key;
        des_fix_parity(fixed.size(), fixed.data(), fixed.data());
        EXPECT_EQ(des_set_key(&ctx, fixed.data()), 1) << "weak key drawn";
    }
    Block Encrypt(const Block& in) {
        Block out;
        des_encrypt(&ctx, out.size(), out.data(), in.data());
        return out;
    }
    Block Decrypt(const Block& in) {
        Block out;
        des_decrypt(&ctx, out.size(), out.data(), in.data());
        return out;
    }
    struct des_ctx ctx;
};

Block Hex(const char* text) {
    Block out{};
    for (int i = 0; i < 8; ++i) {
        unsigned value = 0;
        std::sscanf(text + 2 * i, "%2x", &value);
        out[static_cast<std::size_t>(i)] = static_cast<unsigned char>(value);
    }
    return out;
}

TEST(Des, KnownAnswers) {
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    // Classic published vectors (the textbook worked example, and the all-zero and all-one
    // keys of the validation tables).
    const Case cases[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(Encipher(Hex(c.key), Hex(c.plain)), Hex(c.cipher));
        EXPECT_EQ(Decipher(Hex(c.key), Hex(c.cipher)), Hex(c.plain));
        // In place, as the link enciphers its bodies.
        Block block = Hex(c.plain);
        DesKeySchedule schedule;
        deskey(Hex(c.key).data(), EN0, &schedule);
        des(schedule, block.data(), block.data());
        EXPECT_EQ(block, Hex(c.cipher));
    }
}

TEST(Des, MatchesNettleOnRandomKeysAndBlocksBothWays) {
    std::mt19937_64 random(20260);
    auto draw = [&random] {
        Block b;
        uint64_t v = random();
        std::memcpy(b.data(), &v, b.size());
        return b;
    };
    for (int i = 0; i < 4000; ++i) {
        Block key = draw();
        Block fixed = key;
        des_fix_parity(fixed.size(), fixed.data(), fixed.data());
        struct des_ctx probe;
        if (!des_set_key(&probe, fixed.data())) continue;  // one of the few weak keys
        NettleDes reference(key);
        Block plain = draw();
        Block cipher = Encipher(key, plain);
        ASSERT_EQ(cipher, reference.Encrypt(plain)) << "key " << i;
        ASSERT_EQ(Decipher(key, cipher), plain);
        Block other = draw();
        ASSERT_EQ(Decipher(key, other), reference.Decrypt(other));
    }
}

TEST(Des, IgnoresTheParityBits) {
    Block key = Hex("5A17C3882E94D16B");
    Block flipped = key;
    for (auto& byte : flipped) byte ^= 1;
    Block plain = Hex("0102030405060708");
    EXPECT_EQ(Encipher(key, plain), Encipher(flipped, plain));
    flipped[3] ^= 2;  // a key bit, not a parity bit
    EXPECT_NE(Encipher(key, plain), Encipher(flipped, plain));
}

TEST(Des, SchedulesAreIndependentAcrossThreads) {
    // Each thread builds its own schedule again and again while the others do the same
    // with other keys; a shared schedule would mix them up.
    auto worker = [](uint64_t seed, bool* ok) {
        std::mt19937_64 random(seed);
        for (int i = 0; i < 2000; ++i) {
            Block key, plain;
            uint64_t k = random(), p = random();
            std::memcpy(key.data(), &k, 8);
            std::memcpy(plain.data(), &p, 8);
            DesKeySchedule enc, dec;
            deskey(key.data(), EN0, &enc);
            deskey(key.data(), DE1, &dec);
            Block cipher, back;
            des(enc, plain.data(), cipher.data());
            std::this_thread::yield();
            des(dec, cipher.data(), back.data());
            if (back != plain) *ok = false;
        }
    };
    bool ok[4] = {true, true, true, true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(worker, 100 + t, &ok[t]);
    for (auto& t : threads) t.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

}  // namespace
