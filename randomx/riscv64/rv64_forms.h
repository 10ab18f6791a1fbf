// Sequences both RISC-V compilers emit, in the shortest form the processor
// runs: with Zba and Zbb where cpu_features() reports them, else from the
// base set rv64gc (results identical).
//
// Thread safety: plain functions of their arguments.
#pragma once

#include "randomx/cpu.h"
#include "randomx/riscv64/rv64_assembler.h"

namespace rx::rv64 {

struct Forms {
    bool zba = false;
    bool zbb = false;

    static Forms of_processor() { return Forms{cpu_features().zba, cpu_features().zbb}; }

    // d = a rotated right by `count` (0-63); `tmp` may be changed.
    void ror_imm(Assembler& a, X d, X s, unsigned count, X tmp) const {
        count &= 63;
        if (count == 0) {
            if (d != s) a.mv(d, s);
        } else if (zbb) {
            a.rori(d, s, count);
        } else {
            a.srli(tmp, s, count);
            a.slli(d, s, 64 - count);
            a.or_(d, d, tmp);
        }
    }

    // d = s rotated right (`left`: left) by `count` mod 64; `t1` and `t2`
    // may be changed (neither is d, s or count).
    void rotate(Assembler& a, X d, X s, X count, bool left, X t1, X t2) const {
        if (zbb) {
            left ? a.rol(d, s, count) : a.ror(d, s, count);
            return;
        }
        // The shifts use the count's low 6 bits, so the other way is -count.
        a.neg(t1, count);
        a.sll(t2, s, left ? count : t1);
        a.srl(t1, s, left ? t1 : count);
        a.or_(d, t1, t2);
    }

    // d += s << shift (0-3); `tmp` may be changed.
    void add_shifted(Assembler& a, X d, X s, unsigned shift, X tmp) const {
        if (shift == 0) {
            a.add(d, d, s);
        } else if (zba) {
            a.sh_add(shift, d, s, d);
        } else {
            a.slli(tmp, s, shift);
            a.add(d, d, tmp);
        }
    }

    // d = zero-extended low 32 bits of s.
    void zext32(Assembler& a, X d, X s) const {
        if (zba) {
            a.zext_w(d, s);
        } else {
            a.slli(d, s, 32);
            a.srli(d, d, 32);
        }
    }
};

}  // namespace rx::rv64
