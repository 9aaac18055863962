// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/recording_verdict.h"

#include <algorithm>
#include <cstdio>

namespace tessaline {
namespace {

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

const char* VerdictName(Verdict verdict) noexcept {
    switch (verdict) {
        case Verdict::Pass:
            return "pass";
        case Verdict::Warn:
            return "warn";
        case Verdict::Fail:
            return "fail";
    }
    return "fail";
}

Verdict Worse(Verdict a, Verdict b) noexcept {
    return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

Judgement JudgeRecording(const StreamAnalysis& a) {
    Judgement j;
    std::vector<std::string> fails;
    std::vector<std::string> warns;
    char text[200];

    if (a.packets == 0) {
        fails.push_back("no transport stream packets were found");
    } else {
        if (!a.have_pat)
            fails.push_back("no PAT was found: the programs cannot be told apart");
        else if (a.program_count > 0 && a.programs[0].streams == 0) {
            fails.push_back("no PMT was found: the streams of the program are unknown");
        }
        const double unreadable =
            double(a.packets_lost) +
            double(a.bytes_skipped) / double(a.packet_size > 0 ? a.packet_size : 188);
        const double share = unreadable / (double(a.packets) + unreadable);
        if (share > kFailLostShare) {
            std::snprintf(text, sizeof text, "%.1f %% of the packets were lost or unreadable",
                          share * 100);
            fails.push_back(text);
        }
        double longest = 0;
        for (const Dropout& d : a.dropouts) longest = std::max(longest, d.duration);
        if (longest > kFailDropoutSeconds) {
            std::snprintf(text, sizeof text, "a dropout of %.1f s", longest);
            fails.push_back(text);
        }
    }

    const uint64_t dropouts = a.dropouts.size() + a.dropouts_not_listed;
    if (dropouts > 0) {
        std::string s = Plural(dropouts, "dropout", "dropouts");
        if (a.packets_lost > 0) s += ", " + Plural(a.packets_lost, "packet", "packets") + " lost";
        if (a.damaged_packets > 0) {
            s += ", " + Plural(a.damaged_packets, "packet", "packets") + " marked damaged";
        }
        warns.push_back(s);
    }
    static constexpr Check kHeld[] = {
        Check::SyncLoss,         Check::SyncByte, Check::Pat,
        Check::Continuity,       Check::Pmt,      Check::Pid,
        Check::TransportError,   Check::Crc,      Check::PcrRepetition,
        Check::PcrDiscontinuity, Check::Pts,      Check::DbcGap,
        Check::BusReset,
    };
    for (const Check c : kHeld) {
        const uint64_t n = a.Count(c);
        if (n == 0) continue;
        std::snprintf(text, sizeof text, "%s: %llu", CheckTitle(c),
                      static_cast<unsigned long long>(n));
        warns.push_back(text);
    }
    if (a.trailing_bytes != 0) {
        warns.push_back("the last packet is incomplete (" +
                        Plural(a.trailing_bytes, "byte", "bytes") + ")");
    }

    j.verdict = !fails.empty() ? Verdict::Fail : !warns.empty() ? Verdict::Warn : Verdict::Pass;
    j.reasons = std::move(fails);
    j.reasons.insert(j.reasons.end(), warns.begin(), warns.end());
    return j;
}

}  // namespace tessaline
