// Unwind information for the signal return code of user-mode emulation on
// 32-bit PowerPC.
//
// A thread cancelled while blocked in a system call is unwound from the
// cancellation signal's handler, through the signal frame. On the board the
// kernel's vDSO describes that frame with DWARF call-frame information. The
// emulator has no vDSO: its signal return code sits in a page of its own
// without any, the unwinder falls back to reading the code, and that path
// aborts the process. This file, linked into every test program, finds the
// emulator's signal return code at start-up and registers call-frame
// information for it, written the way the kernel's vDSO describes its own
// (the registers are found through the ucontext's uc_regs pointer). On the
// board, or wherever the return code already has unwind information, it
// does nothing.

#if defined(__powerpc__) && !defined(__powerpc64__) && defined(__linux__)

#include <csignal>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/ucontext.h>

extern "C" {
void __register_frame(void *begin);
struct dwarf_eh_bases {
    void *tbase;
    void *dbase;
    void *func;
};
const void *_Unwind_Find_FDE(void *pc, struct dwarf_eh_bases *bases);
}

namespace {

volatile std::uintptr_t gReturnCode;   // the handler's return address
volatile std::intptr_t gRegsPtrOffset; // &uc_mcontext.uc_regs - stack pointer at return

void probe_handler(int, siginfo_t *, void *ctx)
{
    gReturnCode = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    // The stack pointer the return code runs with is the back chain word of
    // this handler's frame.
    auto sp = *static_cast<std::uintptr_t *>(__builtin_frame_address(0));
    auto *uc = static_cast<ucontext_t *>(ctx);
    gRegsPtrOffset = static_cast<std::intptr_t>(reinterpret_cast<std::uintptr_t>(&uc->uc_mcontext.uc_regs) - sp);
}

void put_uleb(std::vector<unsigned char> &b, unsigned v)
{
    do {
        unsigned char byte = v & 0x7f;
        v >>= 7;
        if (v)
            byte |= 0x80;
        b.push_back(byte);
    } while (v);
}

void put_sleb(std::vector<unsigned char> &b, int v)
{
    for (;;) {
        unsigned char byte = v & 0x7f;
        v >>= 7;
        bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
        if (!done)
            byte |= 0x80;
        b.push_back(byte);
        if (done)
            return;
    }
}

void put_u32(std::vector<unsigned char> &b, std::uint32_t v)
{
    unsigned char w[4];
    std::memcpy(w, &v, 4); // native order, as the unwinder reads it
    b.insert(b.end(), w, w + 4);
}

void set_u32(std::vector<unsigned char> &b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }

// DWARF expression: address of the saved register block plus off.
void put_regs_expr(std::vector<unsigned char> &b, int regs_ptr_offset, unsigned off)
{
    std::vector<unsigned char> e;
    e.push_back(0x71); // DW_OP_breg1 (stack pointer)
    put_sleb(e, regs_ptr_offset);
    e.push_back(0x06); // DW_OP_deref: the uc_regs pointer
    if (off) {
        e.push_back(0x23); // DW_OP_plus_uconst
        put_uleb(e, off);
    }
    put_uleb(b, static_cast<unsigned>(e.size()));
    b.insert(b.end(), e.begin(), e.end());
}

void save_at(std::vector<unsigned char> &b, unsigned column, int regs_ptr_offset, unsigned off)
{
    b.push_back(0x10); // DW_CFA_expression
    put_uleb(b, column);
    put_regs_expr(b, regs_ptr_offset, off);
}

// The registered information must outlive every thread: kept in static storage.
alignas(4) unsigned char gFrameInfo[4096];

struct EmulatorUnwind {
    EmulatorUnwind()
    {
        struct sigaction sa {}, old {};
        sa.sa_sigaction = probe_handler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        if (sigaction(SIGURG, &sa, &old) != 0)
            return;
        raise(SIGURG);
        sigaction(SIGURG, &old, nullptr);

        const auto *code = reinterpret_cast<const std::uint32_t *>(gReturnCode);
        // li r0,__NR_rt_sigreturn; sc
        if (!code || code[0] != 0x380000AC || code[1] != 0x44000002)
            return;
        dwarf_eh_bases bases;
        if (_Unwind_Find_FDE(const_cast<std::uint32_t *>(code), &bases))
            return; // described already (the board's vDSO)

        const int rp = static_cast<int>(gRegsPtrOffset);
        std::vector<unsigned char> b;
        // CIE: augmentation "zRS" (pointer encoding, signal frame), code
        // alignment 4, data alignment -4, return address in column 67 (the
        // interrupted instruction address, as the kernel's vDSO has it).
        std::size_t cie = b.size();
        put_u32(b, 0);
        put_u32(b, 0);
        b.push_back(1);
        for (char c : {'z', 'R', 'S', '\0'})
            b.push_back(static_cast<unsigned char>(c));
        put_uleb(b, 4);
        put_sleb(b, -4);
        b.push_back(67);
        put_uleb(b, 1);
        b.push_back(0x00); // DW_EH_PE_absptr
        while ((b.size() - cie) % 4)
            b.push_back(0); // DW_CFA_nop
        set_u32(b, cie, static_cast<std::uint32_t>(b.size() - cie - 4));

        // FDE from one instruction before the return code (the unwinder looks
        // up the return address minus one) to its end.
        std::size_t fde = b.size();
        put_u32(b, 0);
        put_u32(b, static_cast<std::uint32_t>(b.size() - cie));
        put_u32(b, static_cast<std::uint32_t>(gReturnCode - 4));
        put_u32(b, 12);
        put_uleb(b, 0);
        // CFA: the interrupted stack pointer, gpr[1] of the saved block.
        {
            std::vector<unsigned char> e;
            e.push_back(0x71);
            put_sleb(e, rp);
            e.push_back(0x06);
            e.push_back(0x23);
            put_uleb(e, 4);
            e.push_back(0x06);
            b.push_back(0x0f); // DW_CFA_def_cfa_expression
            put_uleb(b, static_cast<unsigned>(e.size()));
            b.insert(b.end(), e.begin(), e.end());
        }
        // Saved block (mcontext gregs): r0-r31, nip 32, ctr 35, lr 36, ccr 38;
        // then the floating-point registers from word 48.
        for (unsigned r = 0; r < 32; ++r)
            if (r != 1)
                save_at(b, r, rp, r * 4);
        save_at(b, 67, rp, 32 * 4); // nip: where the thread was interrupted
        save_at(b, 66, rp, 35 * 4); // ctr
        save_at(b, 65, rp, 36 * 4); // lr
        for (unsigned cr = 70; cr <= 72; ++cr)
            save_at(b, cr, rp, 38 * 4); // cr2-cr4 (kept across calls) in the ccr word
        for (unsigned f = 0; f < 32; ++f)
            save_at(b, 32 + f, rp, 48 * 4 + f * 8);
        while ((b.size() - fde) % 4)
            b.push_back(0);
        set_u32(b, fde, static_cast<std::uint32_t>(b.size() - fde - 4));
        put_u32(b, 0); // end of the list
        if (b.size() > sizeof gFrameInfo)
            return;
        std::memcpy(gFrameInfo, b.data(), b.size());
        __register_frame(gFrameInfo);
    }
};

EmulatorUnwind gEmulatorUnwind;

} // namespace

#endif

// Referenced at link time (tests/CMakeLists.txt) so that this file is
// linked into every test program.
extern "C" {
extern const int dvrtest_emulator_unwind;
const int dvrtest_emulator_unwind = 1;
}
