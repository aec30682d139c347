#include "zpaqjit.h"

#include <cstddef>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__linux__)
#include <sys/mman.h>
#define PACKBUF_ZPAQL_NATIVE 1
#endif

namespace packbuf {

#ifdef PACKBUF_ZPAQL_NATIVE

namespace {

// x86-64 register numbers. A to D live in r12d to r15d, F in r10b, the step count in rbp, the frame
// in rbx, M's base in r8 and H's in r9; eax, ecx and edx are scratch.
enum TRegister : int { RAX = 0, RCX = 1, RDX = 2, RBX = 3, RBP = 5, RDI = 7, R8 = 8, R9 = 9, R10 = 10, R12 = 12 };

constexpr int registerOf(int zpaqlRegister)
{
    return R12 + zpaqlRegister; // a, b, c, d
}

// Instruction lengths and validity, as the interpreter reads them.
bool validOpcode(std::uint8_t op)
{
    if (op == 0 || (op >= 120 && op < 128) || (op >= 240 && op < 255))
        return false;
    if (op < 56) {
        const int k = op & 7;
        return k != 5 && k != 6;
    }
    if (op < 64)
        return op != 58 && op != 61 && op != 62;
    return true;
}

std::size_t opcodeLength(std::uint8_t op)
{
    return op == 255 ? 3 : (op & 7) == 7 ? 2 : 1;
}

bool isJump(std::uint8_t op)
{
    return op == 39 || op == 47 || op == 63 || op == 255;
}

// Jump target of the jump at offset at, or length when it leads out of the program.
std::size_t jumpTarget(const std::uint8_t* code, std::size_t length, std::size_t at)
{
    const std::uint8_t op = code[at];
    std::size_t target;
    if (op == 255)
        target = code[at + 1] + 256 * std::size_t(code[at + 2]);
    else
        target = at + 2 + std::size_t(std::ptrdiff_t(std::int8_t(code[at + 1])));
    return target < length ? target : length;
}

class TEmitter
{
public:
    std::vector<std::uint8_t> bytes;

    std::size_t position() const { return bytes.size(); }
    void byte(int b) { bytes.push_back(std::uint8_t(b)); }
    void dword(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            byte(int(v >> (8 * i)) & 255);
    }
    void patch32(std::size_t at, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = std::uint8_t(v >> (8 * i));
    }
    void rex(bool w, int reg, int rm, bool force = false)
    {
        const int value = 0x40 | (w ? 8 : 0) | ((reg >> 3) & 1) << 2 | ((rm >> 3) & 1);
        if (value != 0x40 || force)
            byte(value);
    }
    void modrm(int mod, int reg, int rm) { byte(mod << 6 | (reg & 7) << 3 | (rm & 7)); }

    // op r/m32, r32 (register to register).
    void rr(int op, int rm, int reg)
    {
        rex(false, reg, rm);
        byte(op);
        modrm(3, reg, rm);
    }
    void mov(int dst, int src) { rr(0x89, dst, src); }
    void movImm(int reg, std::uint32_t imm)
    {
        rex(false, 0, reg);
        byte(0xB8 + (reg & 7));
        dword(imm);
    }
    // 0x81 group on a register: digit 0 add, 4 and, 5 sub, 7 cmp.
    void aluImm(int digit, int rm, std::uint32_t imm, bool w = false)
    {
        rex(w, 0, rm);
        byte(0x81);
        modrm(3, digit, rm);
        dword(imm);
    }
    // One-operand group on a register (0xF7 /2 not, /6 div; 0xD3 /4 shl, /5 shr by cl).
    void unary(int op, int digit, int rm)
    {
        rex(false, 0, rm);
        byte(op);
        modrm(3, digit, rm);
    }
    void imul(int reg, int rm)
    {
        rex(false, reg, rm);
        byte(0x0F);
        byte(0xAF);
        modrm(3, reg, rm);
    }
    void imulImm(int reg, int rm, std::uint32_t imm)
    {
        rex(false, reg, rm);
        byte(0x69);
        modrm(3, reg, rm);
        dword(imm);
    }
    // An operation on [base + rdx * 2^scale]; base is r8 or r9, so a REX prefix is always there.
    void memory(std::initializer_list<int> op, int reg, int base, int scale)
    {
        rex(false, reg, base, true);
        for (int b : op)
            byte(b);
        modrm(0, reg, 4);
        byte(scale << 6 | RDX << 3 | (base & 7));
    }
    // An operation on [rbx + displacement], the frame.
    void frame(std::initializer_list<int> op, int reg, std::size_t displacement, bool w = false)
    {
        rex(w, reg, RBX);
        for (int b : op)
            byte(b);
        modrm(2, reg, RBX);
        dword(std::uint32_t(displacement));
    }
    // jmp or jcc with a 32-bit displacement to a known position, or one patched later (returned).
    std::size_t jump(int condition, std::size_t to = SIZE_MAX)
    {
        if (condition < 0) {
            byte(0xE9);
        } else {
            byte(0x0F);
            byte(0x80 + condition);
        }
        const std::size_t at = position();
        dword(to == SIZE_MAX ? 0 : std::uint32_t(to - (at + 4)));
        return at;
    }
    void bind(std::size_t at, std::size_t to) { patch32(at, std::uint32_t(to - (at + 4))); }
    // A short forward jcc, patched by land().
    std::size_t skip(int condition)
    {
        byte(condition < 0 ? 0xEB : 0x70 + condition);
        byte(0);
        return position() - 1;
    }
    void land(std::size_t at) { bytes[at] = std::uint8_t(position() - (at + 1)); }
};

enum TCondition { Below = 2, Equal = 4, NotEqual = 5, Above = 7, Sign = 8 };

class TTranslator
{
public:
    TTranslator(const std::uint8_t* code, std::size_t length, std::uint32_t hMask, std::uint32_t mMask, bool output,
        std::uint32_t outputCapacity, std::int64_t outputCredit)
        : m_code(code)
        , m_length(length)
        , m_hMask(hMask)
        , m_mMask(mMask)
        , m_output(output)
        , m_outputCapacity(outputCapacity)
        , m_outputCredit(std::uint32_t(outputCredit))
    { }

    bool translate();
    const std::vector<std::uint8_t>& bytes() const { return m_e.bytes; }

private:
    void findLabels();
    bool emitFrom(std::size_t start);
    void emitInstruction(std::size_t at, std::size_t segmentStart);
    void charge(std::size_t cost, bool check);
    void jumpTo(std::size_t target);
    void addressM(int zpaqlRegister);
    void addressH();
    void load(int source, std::uint8_t operand);
    void store(int destination);

    const std::uint8_t* m_code;
    std::size_t m_length;
    std::uint32_t m_hMask, m_mMask;
    bool m_output;
    std::uint32_t m_outputCapacity;
    std::uint32_t m_outputCredit;
    TEmitter m_e;
    std::vector<bool> m_label;
    std::vector<std::size_t> m_emitted; // native position of each label's code, SIZE_MAX before
    std::vector<std::pair<std::size_t, std::size_t>> m_fixups; // displacement at, program offset
    std::size_t m_epilogue = 0, m_error = 0, m_outOfSteps = 0, m_flushFailed = 0;
};

// Jump targets and the offsets where two decoding paths meet start segments; a segment is charged
// its length when left by falling through, so the count adds up to the interpreter's.
void TTranslator::findLabels()
{
    std::vector<bool> visited(m_length, false);
    m_label.assign(m_length, false);
    std::vector<std::size_t> work { 0 };
    if (m_length > 0)
        m_label[0] = true;
    while (!work.empty()) {
        std::size_t at = work.back();
        work.pop_back();
        while (at < m_length) {
            if (visited[at]) {
                m_label[at] = true;
                break;
            }
            visited[at] = true;
            const std::uint8_t op = m_code[at];
            if (!validOpcode(op))
                break;
            if (isJump(op)) {
                const std::size_t target = jumpTarget(m_code, m_length, at);
                if (target < m_length) {
                    m_label[target] = true;
                    if (!visited[target])
                        work.push_back(target);
                }
            }
            if (op == 56 || op == 63 || op == 255)
                break;
            at += opcodeLength(op);
        }
    }
}

bool TTranslator::translate()
{
    TEmitter& e = m_e;
    // Prologue: save the callee-saved registers (six pushes and 8 bytes keep calls 16-byte aligned),
    // load the machine's state from the frame.
    e.byte(0x53); // push rbx
    e.byte(0x55); // push rbp
    for (int r = 12; r <= 15; ++r) {
        e.byte(0x41);
        e.byte(0x50 + (r & 7));
    }
    e.aluImm(5, 4, 8, true); // sub rsp, 8
    e.rex(true, RDI, RBX);
    e.byte(0x89);
    e.modrm(3, RDI, RBX); // mov rbx, rdi
    for (int i = 0; i < 4; ++i)
        e.frame({ 0x8B }, registerOf(i), offsetof(TZpaqlFrame, a) + 4 * i);
    e.frame({ 0x8B }, R10, offsetof(TZpaqlFrame, f));
    e.frame({ 0x8B }, RBP, offsetof(TZpaqlFrame, steps), true);
    e.frame({ 0x8B }, R8, offsetof(TZpaqlFrame, m), true);
    e.frame({ 0x8B }, R9, offsetof(TZpaqlFrame, h), true);
    const std::size_t toStart = e.jump(-1);

    // Epilogue, status in eax: store the state back.
    m_epilogue = e.position();
    for (int i = 0; i < 4; ++i)
        e.frame({ 0x89 }, registerOf(i), offsetof(TZpaqlFrame, a) + 4 * i);
    e.frame({ 0x89 }, R10, offsetof(TZpaqlFrame, f));
    e.frame({ 0x89 }, RBP, offsetof(TZpaqlFrame, steps), true);
    e.aluImm(0, 4, 8, true); // add rsp, 8
    for (int r = 15; r >= 12; --r) {
        e.byte(0x41);
        e.byte(0x58 + (r & 7));
    }
    e.byte(0x5D); // pop rbp
    e.byte(0x5B); // pop rbx
    e.byte(0xC3);
    auto exit = [&](int status) {
        const std::size_t at = e.position();
        e.movImm(RAX, std::uint32_t(status));
        e.jump(-1, m_epilogue);
        return at;
    };
    m_error = exit(TZpaqlNativeCode::Error);
    m_outOfSteps = exit(TZpaqlNativeCode::OutOfSteps);
    m_flushFailed = exit(TZpaqlNativeCode::FlushFailed);

    findLabels();
    m_emitted.assign(m_length, SIZE_MAX);
    if (m_length == 0)
        e.bind(toStart, m_error);
    for (std::size_t at = 0; at < m_length; ++at) {
        if (!m_label[at] || m_emitted[at] != SIZE_MAX)
            continue;
        const std::size_t native = e.position();
        if (!emitFrom(at))
            return false;
        if (at == 0)
            e.bind(toStart, native);
    }
    for (const auto& [displacement, target] : m_fixups) {
        if (m_emitted[target] == SIZE_MAX)
            return false;
        e.bind(displacement, m_emitted[target]);
    }
    return true;
}

bool TTranslator::emitFrom(std::size_t start)
{
    std::size_t segmentStart = start;
    m_emitted[start] = m_e.position();
    for (std::size_t at = start;;) {
        if (at >= m_length) {
            m_e.jump(-1, m_error); // ran off the end
            return true;
        }
        if (at != segmentStart && m_label[at]) {
            charge(at - segmentStart, false);
            if (m_emitted[at] != SIZE_MAX) {
                jumpTo(at);
                return true;
            }
            segmentStart = at;
            m_emitted[at] = m_e.position();
        } else if (at != start && m_emitted[at] != SIZE_MAX) {
            return false; // two paths met where no label was found: give up, interpret
        }
        const std::uint8_t op = m_code[at];
        if (!validOpcode(op)) {
            m_e.jump(-1, m_error);
            return true;
        }
        emitInstruction(at, segmentStart);
        if (op == 56 || op == 63 || op == 255)
            return true;
        at += opcodeLength(op);
    }
}

void TTranslator::charge(std::size_t cost, bool check)
{
    m_e.aluImm(5, RBP, std::uint32_t(cost), true); // sub rbp, cost
    if (check)
        m_e.jump(Sign, m_outOfSteps);
}

void TTranslator::jumpTo(std::size_t target)
{
    if (target >= m_length) {
        m_e.jump(-1, m_error);
        return;
    }
    m_fixups.emplace_back(m_e.jump(-1), target);
}

// edx = the register's value masked to M.
void TTranslator::addressM(int zpaqlRegister)
{
    m_e.mov(RDX, registerOf(zpaqlRegister));
    m_e.aluImm(4, RDX, m_mMask);
}

// edx = D masked to H.
void TTranslator::addressH()
{
    m_e.mov(RDX, registerOf(3));
    m_e.aluImm(4, RDX, m_hMask);
}

// ecx = a, b, c, d, *b, *c, *d or N (0 ... 7).
void TTranslator::load(int source, std::uint8_t operand)
{
    if (source < 4) {
        m_e.mov(RCX, registerOf(source));
    } else if (source < 6) {
        addressM(source - 3);
        m_e.memory({ 0x0F, 0xB6 }, RCX, R8, 0); // movzx ecx, byte [r8 + rdx]
    } else if (source == 6) {
        addressH();
        m_e.memory({ 0x8B }, RCX, R9, 2); // mov ecx, [r9 + rdx * 4]
    } else {
        m_e.movImm(RCX, operand);
    }
}

// a, b, c, d, *b, *c or *d (0 ... 6) = ecx.
void TTranslator::store(int destination)
{
    if (destination < 4) {
        m_e.mov(registerOf(destination), RCX);
    } else if (destination < 6) {
        addressM(destination - 3);
        m_e.memory({ 0x88 }, RCX, R8, 0); // mov [r8 + rdx], cl
    } else {
        addressH();
        m_e.memory({ 0x89 }, RCX, R9, 2);
    }
}

void TTranslator::emitInstruction(std::size_t at, std::size_t segmentStart)
{
    TEmitter& e = m_e;
    const std::uint8_t op = m_code[at];
    const std::uint8_t operand = m_code[at + 1];
    const int a = registerOf(0);
    const std::size_t rOffset = offsetof(TZpaqlFrame, r) + 4 * std::size_t(operand);

    if (op >= 128) {
        if (op == 255) {
            charge(at - segmentStart + 1, true);
            jumpTo(jumpTarget(m_code, m_length, at));
            return;
        }
        const int operation = (op - 128) >> 3;
        load(op & 7, operand);
        switch (operation) {
        case 0:
            e.rr(0x01, a, RCX);
            break;
        case 1:
            e.rr(0x29, a, RCX);
            break;
        case 2:
            e.imul(a, RCX);
            break;
        case 3:
        case 4: {
            e.rr(0x85, RCX, RCX); // test ecx, ecx
            const std::size_t byZero = e.skip(Equal);
            e.mov(RAX, a);
            e.rr(0x31, RDX, RDX);
            e.unary(0xF7, 6, RCX); // div ecx
            e.mov(a, operation == 3 ? RAX : RDX);
            const std::size_t done = e.skip(-1);
            e.land(byZero);
            e.rr(0x31, a, a);
            e.land(done);
        } break;
        case 5:
            e.rr(0x21, a, RCX);
            break;
        case 6:
            e.unary(0xF7, 2, RCX);
            e.rr(0x21, a, RCX);
            break;
        case 7:
            e.rr(0x09, a, RCX);
            break;
        case 8:
            e.rr(0x31, a, RCX);
            break;
        case 9:
            e.unary(0xD3, 4, a);
            break;
        case 10:
            e.unary(0xD3, 5, a);
            break;
        default: { // ==, <, > set F
            e.rr(0x39, a, RCX);
            const int condition = operation == 11 ? Equal : operation == 12 ? Below : Above;
            e.rex(false, 0, R10);
            e.byte(0x0F);
            e.byte(0x90 + condition);
            e.modrm(3, 0, R10);
        } break;
        }
        return;
    }
    if (op >= 64) { // assignments
        const int destination = (op - 64) >> 3, source = op & 7;
        if (destination == source && destination < 4)
            return;
        load(source, operand);
        store(destination);
        return;
    }

    switch (op) {
    case 39: // jt
    case 47: { // jf
        e.rex(false, R10, R10);
        e.byte(0x84);
        e.modrm(3, R10, R10); // test r10b, r10b
        const std::size_t notTaken = e.jump(op == 39 ? Equal : NotEqual);
        charge(at - segmentStart + 1, true);
        jumpTo(jumpTarget(m_code, m_length, at));
        e.bind(notTaken, e.position());
        return;
    }
    case 63: // jmp
        charge(at - segmentStart + 1, true);
        jumpTo(jumpTarget(m_code, m_length, at));
        return;
    case 55: // r=a N
        e.frame({ 0x89 }, a, rOffset);
        return;
    case 56: // halt
        charge(at - segmentStart + 1, true);
        e.rr(0x31, RAX, RAX);
        e.jump(-1, m_epilogue);
        return;
    case 57: { // out
        if (!m_output)
            return;
        e.frame({ 0x8B }, RAX, offsetof(TZpaqlFrame, outputLength));
        e.frame({ 0x8B }, RCX, offsetof(TZpaqlFrame, output), true);
        e.rex(false, a, 0, true);
        e.byte(0x88);
        e.modrm(0, a, 4);
        e.byte(RAX << 3 | RCX); // mov [rcx + rax], r12b
        e.unary(0xFF, 0, RAX); // inc eax
        e.frame({ 0x89 }, RAX, offsetof(TZpaqlFrame, outputLength));
        e.aluImm(0, RBP, m_outputCredit, true);
        e.aluImm(7, RAX, m_outputCapacity);
        const std::size_t room = e.jump(Below);
        e.frame({ 0x89 }, R10, offsetof(TZpaqlFrame, f));
        e.rex(true, RBX, RDI);
        e.byte(0x89);
        e.modrm(3, RBX, RDI); // mov rdi, rbx
        e.frame({ 0xFF }, 2, offsetof(TZpaqlFrame, flush)); // call [rbx + flush]
        e.rr(0x85, RAX, RAX);
        e.jump(NotEqual, m_flushFailed);
        e.frame({ 0x8B }, R8, offsetof(TZpaqlFrame, m), true);
        e.frame({ 0x8B }, R9, offsetof(TZpaqlFrame, h), true);
        e.frame({ 0x8B }, R10, offsetof(TZpaqlFrame, f));
        e.bind(room, e.position());
        return;
    }
    case 59: // hash: a = (a + *b + 512) * 773
        load(4, 0);
        e.rr(0x01, a, RCX);
        e.aluImm(0, a, 512);
        e.imulImm(a, a, 773);
        return;
    case 60: // hashd: *d = (*d + a + 512) * 773
        load(6, 0);
        e.rr(0x01, RCX, a);
        e.aluImm(0, RCX, 512);
        e.imulImm(RCX, RCX, 773);
        e.memory({ 0x89 }, RCX, R9, 2);
        return;
    default:
        break;
    }

    const int target = op >> 3, kind = op & 7; // a, b, c, d, *b, *c, *d
    if (kind == 7) { // X=r N
        e.frame({ 0x8B }, registerOf(target), rOffset);
        return;
    }
    if (target < 4) {
        const int x = registerOf(target);
        switch (kind) {
        case 0: // X<>a
            e.mov(RCX, x);
            e.mov(x, a);
            e.mov(a, RCX);
            break;
        case 1:
            e.aluImm(0, x, 1);
            break;
        case 2:
            e.aluImm(5, x, 1);
            break;
        case 3:
            e.unary(0xF7, 2, x);
            break;
        default:
            e.rr(0x31, x, x);
            break;
        }
        return;
    }
    const bool word = target == 6;
    const int base = word ? R9 : R8, scale = word ? 2 : 0;
    if (word)
        addressH();
    else
        addressM(target - 3);
    switch (kind) {
    case 0: // *X<>a
        if (word) {
            e.memory({ 0x8B }, RCX, base, scale);
            e.memory({ 0x89 }, a, base, scale);
            e.mov(a, RCX);
        } else {
            e.memory({ 0x0F, 0xB6 }, RCX, base, scale);
            e.memory({ 0x88 }, a, base, scale);
            e.aluImm(4, a, 0xFFFFFF00u);
            e.rr(0x09, a, RCX);
        }
        break;
    case 1:
        e.memory({ word ? 0xFF : 0xFE }, 0, base, scale);
        break;
    case 2:
        e.memory({ word ? 0xFF : 0xFE }, 1, base, scale);
        break;
    case 3:
        e.memory({ word ? 0xF7 : 0xF6 }, 2, base, scale);
        break;
    default:
        if (word) {
            e.memory({ 0xC7 }, 0, base, scale);
            e.dword(0);
        } else {
            e.memory({ 0xC6 }, 0, base, scale);
            e.byte(0);
        }
        break;
    }
}

} // namespace

std::unique_ptr<TZpaqlNativeCode> TZpaqlNativeCode::translate(const std::uint8_t* code, std::size_t length,
    std::uint32_t hMask, std::uint32_t mMask, bool output, std::uint32_t outputCapacity, std::int64_t outputCredit)
{
    if (length > 65536 || outputCredit < 0 || outputCredit > INT32_MAX || outputCapacity == 0)
        return nullptr;
    TTranslator translator(code, length, hMask, mMask, output, outputCapacity, outputCredit);
    if (!translator.translate())
        return nullptr;
    const std::vector<std::uint8_t>& bytes = translator.bytes();
    // Written while writable, then made executable and read-only: never both at once.
    void* memory = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    std::memcpy(memory, bytes.data(), bytes.size());
    if (mprotect(memory, bytes.size(), PROT_READ | PROT_EXEC) != 0) {
        munmap(memory, bytes.size());
        return nullptr;
    }
    return std::unique_ptr<TZpaqlNativeCode>(new TZpaqlNativeCode(memory, bytes.size()));
}

TZpaqlNativeCode::~TZpaqlNativeCode()
{
    munmap(m_code, m_size);
}

TZpaqlNativeCode::TResult TZpaqlNativeCode::run(TZpaqlFrame& frame) const
{
    using TEntry = int (*)(TZpaqlFrame*);
    return TResult(reinterpret_cast<TEntry>(m_code)(&frame));
}

#else

std::unique_ptr<TZpaqlNativeCode> TZpaqlNativeCode::translate(
    const std::uint8_t*, std::size_t, std::uint32_t, std::uint32_t, bool, std::uint32_t, std::int64_t)
{
    return nullptr;
}

TZpaqlNativeCode::~TZpaqlNativeCode() = default;

TZpaqlNativeCode::TResult TZpaqlNativeCode::run(TZpaqlFrame&) const
{
    return Error;
}

#endif

} // namespace packbuf
