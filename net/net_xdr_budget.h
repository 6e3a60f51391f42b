// Decode accounting: every allocation a decode makes is charged here first, so a peer can make
// the library hold no more memory than the budget of the message being read allows.
#pragma once

#include <cstddef>
#include <cstdint>

struct sL_VALUE;

bool NetDecodeCharge(std::size_t bytes);
// Calling thread. Counts bytes against the thread's active budget; false, with nothing counted,
// when they do not fit. Always true while no budget is active (no limit).

// Sets the calling thread's decode budget for its lifetime; the previous one (or none) returns
// at destruction, so scopes nest. Charges are never refunded: the budget is per message.
class NetDecodeBudget {
public:
    explicit NetDecodeBudget(std::uint64_t limit);
    ~NetDecodeBudget();
    NetDecodeBudget(const NetDecodeBudget&) = delete;
    NetDecodeBudget& operator=(const NetDecodeBudget&) = delete;

    std::uint64_t Used() const;
    // Owning thread. Bytes charged since this scope began.

private:
    bool m_bPrevActive;
    std::uint64_t m_ullPrevRemaining;
    std::uint64_t m_ullLimit;
};

void NetTakeValue(sL_VALUE& to, sL_VALUE& from);
// Owning thread. Moves from's content into to without copying a real or a string; from is left
// without value. What to held before is overwritten, not released.
