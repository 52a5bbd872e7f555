// The try accounting of a plain download: which attempts use up a try, when
// the next mirror follows, and the bound on attempts that progress cannot
// get around.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/download/plain/TryBudget.h"

namespace {

TEST(TryBudget, ARealAmountIsATenthOfWhatWasMissingAtMostOneMebibyte) {
    struct Case {
        int64_t missing;
        int64_t real;
    };
    const Case cases[] = {
        {-1, 1 << 20},         // unknown: the cap
        {0, 1},                // never less than a byte
        {9, 1},                //
        {10, 1},               //
        {100000, 10000},       //
        {10485759, 1048575},   // just below the cap
        {10485760, 1 << 20},   // the cap
        {INT64_MAX, 1 << 20},  // a total a host made up
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.real, TryBudget::RealAmount(c.missing)) << c.missing;
}

TEST(TryBudget, FailedAttemptsWalkTheMirrorsThreeTriesEach) {
    TryBudget budget;
    budget.Reset(2);
    std::vector<TryBudget::Next> seen;
    for (int i = 0; i < 6; ++i)
        seen.push_back(budget.Failed(0, 1000));
    const std::vector<TryBudget::Next> expected = {
        TryBudget::kSameMirror, TryBudget::kSameMirror, TryBudget::kNextMirror,
        TryBudget::kSameMirror, TryBudget::kSameMirror, TryBudget::kMirrorsSpent};
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(6, budget.Attempts());
    // Spent stays spent.
    EXPECT_EQ(TryBudget::kMirrorsSpent, budget.Failed(1 << 20, 1000));
    // No mirror at all: the first failure ends the file.
    budget.Reset(0);
    EXPECT_EQ(TryBudget::kMirrorsSpent, budget.Failed(0, -1));
}

TEST(TryBudget, AnAttemptThatKeptARealAmountUsesUpNoTry) {
    struct Case {
        const char* what;
        int64_t grown;
        int64_t missing;
        int32_t triesUsed;
    };
    const Case cases[] = {
        {"a tenth of what was missing", 10000, 100000, 0},
        {"a byte less", 9999, 100000, 1},
        {"a mebibyte of a large file", 1 << 20, 1LL << 32, 0},
        {"a byte less of it", (1 << 20) - 1, 1LL << 32, 1},
        {"one byte of a large file", 1, 1LL << 32, 1},
        {"one byte of the last few", 1, 5, 0},
        {"nothing", 0, 0, 1},
        {"a mebibyte, size unknown", 1 << 20, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TryBudget budget;
        budget.Reset(1);
        EXPECT_EQ(TryBudget::kSameMirror, budget.Failed(c.grown, c.missing));
        EXPECT_EQ(c.triesUsed, budget.TriesUsed());
        EXPECT_EQ(1, budget.Attempts());
    }
}

TEST(TryBudget, ProgressThatNeverEndsTheFileEndsAtTheBound) {
    // A host that sends a mebibyte each time and makes the file ever larger.
    TryBudget budget;
    budget.Reset(3);
    int32_t attempts = 0;
    TryBudget::Next next = TryBudget::kSameMirror;
    while (next == TryBudget::kSameMirror && attempts < 10 * TryBudget::kMaxAttempts) {
        next = budget.Failed(1 << 20, 1LL << 40);
        ++attempts;
    }
    EXPECT_EQ(TryBudget::kAttemptsSpent, next);
    EXPECT_EQ(TryBudget::kMaxAttempts, attempts);
    EXPECT_EQ(0, budget.Mirror());
    EXPECT_EQ(0, budget.TriesUsed());

    // Mixed with failures and repeats, the bound holds across mirrors too.
    budget.Reset(1000);
    attempts = 0;
    next = TryBudget::kSameMirror;
    while ((next == TryBudget::kSameMirror || next == TryBudget::kNextMirror) &&
           attempts < 10 * TryBudget::kMaxAttempts) {
        next = attempts % 5 == 0 ? budget.Repeat()
                                 : budget.Failed(attempts % 2 ? 0 : 1 << 20, 1LL << 40);
        ++attempts;
    }
    EXPECT_EQ(TryBudget::kAttemptsSpent, next);
    // The first mebibyte kept after a failure brought the end nearer; none
    // after it did.
    EXPECT_EQ(TryBudget::kMaxAttempts + 1, attempts);
}

TEST(TryBudget, AFileThatComesNearerItsEndEveryAttemptIsNotCutOffByTheBound) {
    // A link that drops after each mebibyte of a large file: every attempt
    // brings the same end nearer, so the attempts are bounded by the file's
    // size and the bound on attempts is not what ends it. Before, a file of
    // more than 256 MiB over such a link failed at 256 attempts.
    struct Case {
        const char* what;
        int64_t size;
        int64_t step;  // kept by each attempt (the last one: the rest)
    };
    const Case cases[] = {
        {"2 GiB, a mebibyte each", 2LL << 30, 1 << 20},
        {"300 MiB, a mebibyte each", 300LL << 20, 1 << 20},
        {"a tenth of what is missing each", 1LL << 30, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TryBudget budget;
        budget.Reset(1);
        int64_t offset = 0;
        int64_t attempts = 0;
        TryBudget::Next next = TryBudget::kSameMirror;
        while (next == TryBudget::kSameMirror && offset < c.size && attempts < 100000) {
            const int64_t missing = c.size - offset;
            const int64_t grown = c.step > 0 ? c.step : TryBudget::RealAmount(missing);
            next = budget.Failed(grown < missing ? grown : missing, missing);
            offset += grown < missing ? grown : missing;
            ++attempts;
        }
        EXPECT_EQ(TryBudget::kSameMirror, next) << attempts;
        EXPECT_EQ(c.size, offset);
        EXPECT_EQ(0, budget.TriesUsed());
    }
}

TEST(TryBudget, AFileWhoseEndMovesAwayStillEndsAtTheBound) {
    // Each attempt keeps a real amount but the total grows by as much or
    // more: not nearer the end, so every attempt counts toward the bound,
    // also with attempts of unknown size between.
    struct Case {
        const char* what;
        int64_t moved;  // how much the end moves away per attempt, beyond the step
        bool unknownBetween;
    };
    const Case cases[] = {
        {"by the step", 0, false},
        {"by the step and a byte", 1, false},
        {"by the step, unknown sizes between", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TryBudget budget;
        budget.Reset(10 * TryBudget::kMaxAttempts);
        int64_t missing = 1LL << 30;
        int32_t attempts = 0;
        TryBudget::Next next = TryBudget::kSameMirror;
        while ((next == TryBudget::kSameMirror || next == TryBudget::kNextMirror) &&
               attempts < 10 * TryBudget::kMaxAttempts) {
            if (c.unknownBetween && attempts % 2)
                next = budget.Failed(0, -1);
            else
                next = budget.Failed(1 << 20, missing);
            missing += c.moved;
            ++attempts;
        }
        EXPECT_EQ(TryBudget::kAttemptsSpent, next);
        EXPECT_EQ(TryBudget::kMaxAttempts, attempts);
    }
}

TEST(TryBudget, ARepeatUsesUpNoTryAndANewFileStartsAfresh) {
    TryBudget budget;
    budget.Reset(1);
    EXPECT_EQ(TryBudget::kSameMirror, budget.Failed(0, 10));
    EXPECT_EQ(TryBudget::kSameMirror, budget.Repeat());
    EXPECT_EQ(1, budget.TriesUsed());
    EXPECT_EQ(2, budget.Attempts());
    EXPECT_EQ(TryBudget::kSameMirror, budget.Failed(0, 10));
    EXPECT_EQ(TryBudget::kMirrorsSpent, budget.Failed(0, 10));
    budget.Reset(2);
    EXPECT_EQ(0, budget.Mirror());
    EXPECT_EQ(0, budget.TriesUsed());
    EXPECT_EQ(0, budget.Attempts());
}

}  // namespace
