#include <cstring>

#include "rimvaultpi/psfile/PSBytes.h"
#include "rimvaultpi/psfile/PSFile.h"

using namespace psbytes;

namespace {

// Largest total of the inputs an export may hold.
constexpr uint64_t kMaxInputBytes = 0xEFFFFFAF;
constexpr size_t kBlock = 4096;

uint32_t Low32OrAllOnes(int64_t v) {
    const int32_t high = static_cast<int32_t>(static_cast<uint64_t>(v) >> 32);
    return high > 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

void PutLe64(uint8_t* p, int64_t v) {
    PutLe32(p, static_cast<uint32_t>(v));
    PutLe32(p + 4, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
}
int64_t Le64(const uint8_t* p) {
    return static_cast<int64_t>(uint64_t{Le32(p)} | (uint64_t{Le32(p + 4)} << 32));
}

// Size of a seekable stream; the stream is left at its start. -1 when it cannot be measured.
int64_t Measure(FILE* f) {
    if (f == nullptr) return 0;
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    const off_t size = ftello(f);
    if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) return -1;
    return size;
}

// Copies `in` from where it stands to its end; `copied` gets the byte count. The output is
// flushed so that a failed write is noticed here and not at a later step.
bool Copy(FILE* in, FILE* out, int64_t& copied) {
    copied = 0;
    uint8_t block[kBlock];
    for (;;) {
        const size_t n = std::fread(block, 1, sizeof(block), in);
        if (n != 0 && std::fwrite(block, 1, n, out) != n) return false;
        copied += static_cast<int64_t>(n);
        if (n < sizeof(block)) break;
    }
    return !std::ferror(in) && std::fflush(out) == 0;
}

int32_t CloseWith(FILE* out, int32_t code) {
    std::fclose(out);
    return code;
}

}  // namespace

void tagPSSingleBinEx::ToSingleBin(tagPSSingleBin& out) const {
    out.nStartA = Low32OrAllOnes(llStartA);
    out.nSizeA = Low32OrAllOnes(llSizeA);
    out.nStartB = Low32OrAllOnes(llStartB);
    out.nSizeB = Low32OrAllOnes(llSizeB);
    out.nStartExtra = Low32OrAllOnes(llStartExtra);
    out.nSizeExtra = Low32OrAllOnes(llSizeExtra);
}

void tagPSSingleBinEx::FromSingleBin(const tagPSSingleBin& in) {
    llStartA = in.nStartA;
    llSizeA = in.nSizeA;
    llStartB = in.nStartB;
    llSizeB = in.nSizeB;
    llStartExtra = in.nStartExtra == 0xFFFFFFFFu ? -1 : int64_t{in.nStartExtra};
    llSizeExtra = in.nSizeExtra;
}

void tagPSSingleBinEx::Encode(uint8_t out[80]) const {
    PutLe32(out + 0, single.nStartA);
    PutLe32(out + 4, single.nSizeA);
    PutLe32(out + 8, single.nStartB);
    PutLe32(out + 12, single.nSizeB);
    PutLe32(out + 16, single.nStartExtra);
    PutLe32(out + 20, single.nSizeExtra);
    PutLe32(out + 24, cbSize);
    PutLe32(out + 28, dwReserved);
    PutLe64(out + 32, llStartA);
    PutLe64(out + 40, llSizeA);
    PutLe64(out + 48, llStartB);
    PutLe64(out + 56, llSizeB);
    PutLe64(out + 64, llStartExtra);
    PutLe64(out + 72, llSizeExtra);
}

bool tagPSSingleBinEx::Decode(const uint8_t in[80]) {
    if (Le32(in + 24) != PSFILE_TRAILER_SIZE) return false;
    single.nStartA = Le32(in + 0);
    single.nSizeA = Le32(in + 4);
    single.nStartB = Le32(in + 8);
    single.nSizeB = Le32(in + 12);
    single.nStartExtra = Le32(in + 16);
    single.nSizeExtra = Le32(in + 20);
    cbSize = Le32(in + 24);
    dwReserved = Le32(in + 28);
    llStartA = Le64(in + 32);
    llSizeA = Le64(in + 40);
    llStartB = Le64(in + 48);
    llSizeB = Le64(in + 56);
    llStartExtra = Le64(in + 64);
    llSizeExtra = Le64(in + 72);
    return true;
}

CPSExeCreator::CPSExeCreator(FILE* program, FILE* streamB, FILE* streamA, FILE* extra)
    : m_program(program), m_streamB(streamB), m_streamA(streamA), m_extra(extra) {}

CPSExeCreator::~CPSExeCreator() { Close(); }

void CPSExeCreator::Close() {
    for (FILE** f : {&m_program, &m_streamB, &m_streamA, &m_extra}) {
        if (*f != nullptr) std::fclose(*f);
        *f = nullptr;
    }
}

int32_t CPSExeCreator::BuildExecutable(FILE* out) {
    if (out == nullptr) return -1;
    uint64_t total = 0;
    for (FILE* f : {m_program, m_streamB, m_streamA, m_extra}) {
        const int64_t size = Measure(f);
        if (size < 0) return -1;  // an input that cannot be measured cannot be placed
        total += static_cast<uint64_t>(size);
    }
    if (total > kMaxInputBytes) return -1;

    int64_t copied = 0;
    if (m_program == nullptr || !Copy(m_program, out, copied)) return CloseWith(out, -2);

    tagPSSingleBinEx trailer;
    std::memset(&trailer, 0, sizeof(trailer));
    trailer.cbSize = PSFILE_TRAILER_SIZE;
    uint8_t bytes[PSFILE_TRAILER_SIZE];
    trailer.Encode(bytes);
    if (fseeko(out, 0, SEEK_END) != 0) return CloseWith(out, -6);
    const off_t trailerPos = ftello(out);
    if (trailerPos < 0 || std::fwrite(bytes, sizeof(bytes), 1, out) != 1 || std::fflush(out) != 0) {
        return CloseWith(out, -6);
    }

    if (m_streamA == nullptr) return CloseWith(out, -3);
    trailer.llStartA = ftello(out);
    if (trailer.llStartA < 0 || !Copy(m_streamA, out, trailer.llSizeA)) {
        return CloseWith(out, -3);
    }
    if (m_extra != nullptr) {
        trailer.llStartExtra = ftello(out);
        if (trailer.llStartExtra < 0 || !Copy(m_extra, out, trailer.llSizeExtra)) {
            return CloseWith(out, -4);
        }
    }
    if (m_streamB == nullptr) return CloseWith(out, -5);
    trailer.llStartB = ftello(out);
    if (trailer.llStartB < 0 || !Copy(m_streamB, out, trailer.llSizeB)) {
        return CloseWith(out, -5);
    }

    trailer.ToSingleBin(trailer.single);
    trailer.Encode(bytes);
    // An output that cannot seek back keeps the placeholder trailer.
    if (fseeko(out, trailerPos, SEEK_SET) == 0 && std::fwrite(bytes, sizeof(bytes), 1, out) != 1) {
        return CloseWith(out, -6);
    }
    if (std::fclose(out) != 0) return -6;
    return 0;
}
