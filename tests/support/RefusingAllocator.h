// A program that compiles RefusingAllocator.cpp gets operator new and delete
// (every form) that can be told to refuse: the throwing forms then throw
// std::bad_alloc, the nothrow forms answer null. For tests of what the code
// does when memory runs out.
#pragma once

namespace kestrum {
namespace testing {

// While on, every allocation of every thread fails.
void RefuseAllocations(bool on);
// While on, every allocation fails but those of the calling thread.
void RefuseAllocationsOnOtherThreads(bool on);
// The next `count` allocations (of any thread) succeed, every one after them
// fails, until RefuseAllocations(false): to fail each allocation of a call
// in turn.
void RefuseAllocationsAfter(long count);

}  // namespace testing
}  // namespace kestrum
