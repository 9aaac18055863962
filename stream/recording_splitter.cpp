// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/recording_splitter.h"

#include "stream/ts_format.h"

namespace tessaline {
namespace {

constexpr double kPcrHz = 27e6;
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;

bool SamePrograms(const PatTable& a, const PatTable& b) {
    return a.count == b.count && a.program_number == b.program_number && a.pmt_pid == b.pmt_pid;
}

bool SharesAStream(const PmtTable& a, const PmtTable& b) {
    for (int i = 0; i < a.count; ++i) {
        for (int j = 0; j < b.count; ++j) {
            if (a.pid[static_cast<size_t>(i)] == b.pid[static_cast<size_t>(j)]) return true;
        }
    }
    return false;
}

}  // namespace

const char* SplitReasonName(RecordingSplitter::Reason reason) noexcept {
    switch (reason) {
        case RecordingSplitter::Reason::Blank:
            return "blank";
        case RecordingSplitter::Reason::NewTransportStream:
            return "new-transport-stream";
        case RecordingSplitter::Reason::NewProgram:
            return "new-program";
        case RecordingSplitter::Reason::PcrJump:
            return "pcr-jump";
        case RecordingSplitter::Reason::None:
            break;
    }
    return "none";
}

void RecordingSplitter::Reset() {
    pat_sections_.Break();
    pmt_sections_.Break();
    have_pat_ = false;
    have_pmt_ = false;
    pmt_pid_ = kPidNull;
    pcr_pid_ = kPidNull;
    have_pcr_ = false;
    blank_ = false;
    packets_ = 0;
    recordings_ = 1;
    reason_ = Reason::None;
}

void RecordingSplitter::Blank(double seconds) noexcept {
    if (seconds >= kMinBlank) blank_ = true;
}

bool RecordingSplitter::Split(Reason reason) {
    if (packets_ == 0) return false;  // nothing recorded yet: this is still the first packet
    reason_ = reason;
    ++recordings_;
    packets_ = 0;
    // The new recording's tables and clock are learnt afresh, except what showed the restart:
    // one restart must not be taken for a second one a few packets later.
    if (reason != Reason::NewTransportStream && reason != Reason::NewProgram) {
        have_pat_ = false;
        have_pmt_ = false;
    }
    if (reason != Reason::PcrJump) have_pcr_ = false;
    return true;
}

RecordingSplitter::Reason RecordingSplitter::OnSection(uint16_t pid, const uint8_t* s,
                                                       size_t length) {
    if (!SectionHasCrc(s, length) || !SectionCrcOk(s, length)) return Reason::None;
    if (pid == kPidPat) {
        PatTable pat;
        if (!ParsePat(s, length, pat)) return Reason::None;
        Reason r = Reason::None;
        if (have_pat_ && pat.transport_stream_id != pat_.transport_stream_id) {
            r = Reason::NewTransportStream;
        } else if (have_pat_ && !SamePrograms(pat, pat_)) {
            r = Reason::NewProgram;
        }
        if (!have_pat_ || r != Reason::None) {
            const uint16_t pmt_pid = pat.count > 0 ? pat.pmt_pid[0] : kPidNull;
            if (pmt_pid != pmt_pid_) pmt_sections_.Break();
            pmt_pid_ = pmt_pid;
            have_pmt_ = false;
        }
        pat_ = pat;
        have_pat_ = true;
        return r;
    }
    PmtTable pmt;
    if (!ParsePmt(s, length, pmt) || (have_pat_ && pmt.program_number != pat_.program_number[0])) {
        return Reason::None;
    }
    Reason r = Reason::None;
    if (have_pmt_ && (pmt.pcr_pid != pmt_.pcr_pid || !SharesAStream(pmt, pmt_))) {
        r = Reason::NewProgram;
    }
    if (!have_pmt_ || r != Reason::None) {
        pcr_pid_ = pmt.pcr_pid;
        have_pcr_ = false;
    }
    pmt_ = pmt;
    have_pmt_ = true;
    return r;
}

bool RecordingSplitter::Packet(const uint8_t* ts) {
    bool split = false;
    if (blank_) {
        blank_ = false;
        split = Split(Reason::Blank);
    }
    const bool damaged = (ts[1] & 0x80) != 0;
    const uint16_t pid = ReadPid(ts + 1);
    if (!damaged && pid != kPidNull) {
        const TsPayload payload = LocatePayload(ts);
        Reason found = Reason::None;
        if ((ts[3] & kTsAdaptationPresent) && ts[4] >= 7 && ts[4] <= kTsMaxAdaptationLength &&
            (ts[5] & 0x10)) {
            const bool discontinuity = (ts[5] & 0x80) != 0;
            const uint64_t base = (uint64_t{ts[6]} << 25) | (uint64_t{ts[7]} << 17) |
                                  (uint64_t{ts[8]} << 9) | (uint64_t{ts[9]} << 1) | (ts[10] >> 7);
            const uint64_t pcr = base * 300 + (((ts[10] & 1u) << 8) | ts[11]);
            if (pcr_pid_ == kPidNull) pcr_pid_ = pid;
            if (pid == pcr_pid_) {
                if (have_pcr_ && !discontinuity) {
                    const uint64_t delta = (pcr + kPcrWrap - last_pcr_) % kPcrWrap;
                    const double forward = double(delta) / kPcrHz;
                    const double back = double(kPcrWrap - delta) / kPcrHz;
                    if (delta > kPcrWrap / 2 ? back > kMaxPcrBack : forward > kMaxPcrForward) {
                        found = Reason::PcrJump;
                    }
                }
                have_pcr_ = true;
                last_pcr_ = pcr;
            }
        }
        if (payload.valid && (pid == kPidPat || (pid == pmt_pid_ && pmt_pid_ != kPidNull))) {
            SectionAssembler& sections = pid == kPidPat ? pat_sections_ : pmt_sections_;
            sections.Push(ts + payload.offset, payload.length, payload.unit_start,
                          [&](const uint8_t* section, size_t length) {
                              const Reason r = OnSection(pid, section, length);
                              if (found == Reason::None) found = r;
                          });
        }
        if (!split && found != Reason::None) split = Split(found);
    }
    ++packets_;
    return split;
}

}  // namespace tessaline
