// In-tree only (not installed): the friends of Base64 and CMD5 through
// which liboamsdk emits the private inline members it exports, and through
// which the tests reach them and the CMD5 layout.
#pragma once

#include "Corbex.h"

struct Base64Access {
    typedef char (*Decode)(unsigned char);
    static Decode decode64() { return &Base64::decode64; }
};

struct CMD5Access {
    typedef CMD5::Aux Aux;
    typedef void (*Step)(Aux, uint32_t&, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
    static Aux F() { return &CMD5::F; }
    static Aux G() { return &CMD5::G; }
    static Aux H() { return &CMD5::H; }
    static Aux I() { return &CMD5::I; }
    static Step MD5STEP() { return &CMD5::MD5STEP; }

    static uint32_t* State(CMD5& m) { return m.m_state; }
    // The compression function over whole blocks, for a digest of bytes that
    // arrive in pieces (the library's download).
    static void Init(CMD5& m) { m.Init(); }
    static void Transform(CMD5& m, const unsigned char* blocks, size_t count) { m.Transform(blocks, count); }
    static unsigned char* Block(CMD5& m) { return m.m_block; }
};
