// Deadlock detection, as Verifier's: every acquisition of a spin lock, mutex, fast mutex or
// executive resource made while the thread holds another lock adds an edge "held before taken" to
// one graph of lock order kept for the whole run, whichever thread made it. The first
// acquisition whose edge would close a cycle stops the system, naming both orders and where each
// lock was taken, whether or not the threads ever met: the interleaving that deadlocks is then
// only a matter of timing.
//
// Each thread keeps its held locks in acquisition order; only the innermost one gets an edge (an
// outer lock already reaches the new one through the inner ones). An edge seen before costs one
// hash look-up; a new edge costs a search of the graph from the lock taken. Locks are known by
// address, so a lock's memory that is freed or initialised again leaves the graph with its edges.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal/model.h"
#include "internal/ps.h"
#include "internal/verifier.h"

namespace {

struct KmpHeldLock {
    const void* Lock;
    KmLockKind Kind;
    const void* Site;
};

// The calling OS thread's held locks; `Generation` says which boot they belong to.
struct KmpThreadLocks {
    uint64_t Generation = 0;
    std::vector<KmpHeldLock> Held;
};

// First sighting of "From held while To taken".
struct KmpEdge {
    ULONG Thread;
    const void* FromSite;
    const void* ToSite;
};

struct KmpNode {
    KmLockKind Kind;
    std::unordered_map<const void*, KmpEdge> Out;  // locks taken while this one was held
    std::unordered_set<const void*> In;
};

struct KmpGraph {
    std::mutex Lock;
    std::map<uintptr_t, KmpNode> Nodes;  // by address, so that a freed range leaves at once
};

KmpGraph& KmpTheGraph()
{
    static KmpGraph* graph = new KmpGraph;
    return *graph;
}

KmpThreadLocks& KmpMine()
{
    static thread_local KmpThreadLocks locks;
    uint64_t generation = KmGeneration();
    if (locks.Generation != generation) {
        locks.Generation = generation;
        locks.Held.clear();
    }
    return locks;
}

const char* KmpKindName(KmLockKind kind)
{
    switch (kind) {
    case KmLockKind::SpinLock:
        return "spin lock";
    case KmLockKind::Mutex:
        return "mutex";
    case KmLockKind::FastMutex:
        return "fast mutex";
    case KmLockKind::Resource:
        return "resource";
    }
    return "lock";
}

// "host.so!HostDispatch+0x1c", or the object file and offset when no symbol is near.
std::string KmpSiteName(const void* site)
{
    Dl_info info{};
    char text[256];
    if (site == nullptr || dladdr(site, &info) == 0 || info.dli_fname == nullptr) {
        snprintf(text, sizeof text, "%p", site);
        return text;
    }
    const char* file = strrchr(info.dli_fname, '/');
    file = file == nullptr ? info.dli_fname : file + 1;
    if (info.dli_sname != nullptr) {
        snprintf(text, sizeof text, "%s!%s+0x%zx", file, info.dli_sname,
                 (size_t)((const char*)site - (const char*)info.dli_saddr));
    } else {
        snprintf(text, sizeof text, "%s+0x%zx", file, (size_t)((const char*)site - (const char*)info.dli_fbase));
    }
    return text;
}

// Graph lock held: a path of edges from `from` to `to`, as the locks along it; empty when none.
std::vector<const void*> KmpPathLocked(KmpGraph& graph, const void* from, const void* to)
{
    std::unordered_map<const void*, const void*> cameFrom{{from, nullptr}};
    std::vector<const void*> frontier{from};
    while (!frontier.empty()) {
        const void* at = frontier.back();
        frontier.pop_back();
        auto node = graph.Nodes.find(reinterpret_cast<uintptr_t>(at));
        if (node == graph.Nodes.end()) {
            continue;
        }
        for (auto& edge : node->second.Out) {
            if (!cameFrom.emplace(edge.first, at).second) {
                continue;
            }
            if (edge.first == to) {
                std::vector<const void*> path{to};
                for (const void* step = at; step != nullptr; step = cameFrom[step]) {
                    path.insert(path.begin(), step);
                }
                return path;
            }
            frontier.push_back(edge.first);
        }
    }
    return {};
}

std::string KmpDescribe(KmLockKind kind, const void* lock)
{
    char text[64];
    snprintf(text, sizeof text, "%s %p", KmpKindName(kind), lock);
    return text;
}

// Graph lock held: stops the system for `taken` wanted while `held` is held, against `path`, the
// order seen before from `taken` to `held`.
[[noreturn]] void KmpReportCycleLocked(KmpGraph& graph, ULONG thread, const KmpHeldLock& held,
                                       const KmpHeldLock& taken, const std::vector<const void*>& path)
{
    std::string reason = "lock order cycle (potential deadlock): thread " + std::to_string(thread) + " takes " +
                         KmpDescribe(taken.Kind, taken.Lock) + " at " + KmpSiteName(taken.Site) + " holding " +
                         KmpDescribe(held.Kind, held.Lock) + " (taken at " + KmpSiteName(held.Site) +
                         "); the opposite order was seen before:";
    for (size_t step = 0; step + 1 < path.size(); ++step) {
        const KmpNode& from = graph.Nodes.at(reinterpret_cast<uintptr_t>(path[step]));
        const KmpNode& to = graph.Nodes.at(reinterpret_cast<uintptr_t>(path[step + 1]));
        const KmpEdge& edge = from.Out.at(path[step + 1]);
        reason += " thread " + std::to_string(edge.Thread) + " took " + KmpDescribe(to.Kind, path[step + 1]) +
                  " at " + KmpSiteName(edge.ToSite) + " holding " + KmpDescribe(from.Kind, path[step]) +
                  " (taken at " + KmpSiteName(edge.FromSite) + ");";
    }
    km::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckLockHierarchy, (ULONG_PTR)taken.Lock,
                 (ULONG_PTR)held.Lock, thread, reason);
}

}  // namespace

void KmLockOrderBeforeAcquire(const void* lock, KmLockKind kind, const void* site)
{
    KmpThreadLocks& mine = KmpMine();
    if (mine.Held.empty()) {
        return;
    }
    for (const KmpHeldLock& held : mine.Held) {
        if (held.Lock == lock) {
            return;  // a recursive acquisition adds no order
        }
    }
    const KmpHeldLock& inner = mine.Held.back();
    KmpGraph& graph = KmpTheGraph();
    std::lock_guard<std::mutex> hold(graph.Lock);
    KmpNode& from = graph.Nodes.emplace(reinterpret_cast<uintptr_t>(inner.Lock), KmpNode{inner.Kind, {}, {}})
                        .first->second;
    if (from.Out.count(lock) != 0) {
        return;
    }
    ULONG thread = KmIdNumber(KmCurrentThread()->UniqueThreadId);
    std::vector<const void*> path = KmpPathLocked(graph, lock, inner.Lock);
    if (!path.empty()) {
        KmpReportCycleLocked(graph, thread, inner, KmpHeldLock{lock, kind, site}, path);
    }
    from.Out.emplace(lock, KmpEdge{thread, inner.Site, site});
    graph.Nodes.emplace(reinterpret_cast<uintptr_t>(lock), KmpNode{kind, {}, {}}).first->second.In.insert(inner.Lock);
}

void KmLockOrderAcquired(const void* lock, KmLockKind kind, const void* site)
{
    KmpMine().Held.push_back(KmpHeldLock{lock, kind, site});
}

void KmLockOrderReleased(const void* lock)
{
    std::vector<KmpHeldLock>& held = KmpMine().Held;
    for (size_t index = held.size(); index > 0; --index) {
        if (held[index - 1].Lock == lock) {
            held.erase(held.begin() + (index - 1));
            return;
        }
    }
}

void KmLockOrderForget(const void* start, size_t size)
{
    auto first = reinterpret_cast<uintptr_t>(start);
    KmpGraph& graph = KmpTheGraph();
    std::lock_guard<std::mutex> hold(graph.Lock);
    auto node = graph.Nodes.lower_bound(first);
    while (node != graph.Nodes.end() && node->first - first < size) {
        const void* lock = reinterpret_cast<const void*>(node->first);
        for (auto& edge : node->second.Out) {
            auto target = graph.Nodes.find(reinterpret_cast<uintptr_t>(edge.first));
            if (target != graph.Nodes.end()) {
                target->second.In.erase(lock);
            }
        }
        for (const void* source : node->second.In) {
            auto origin = graph.Nodes.find(reinterpret_cast<uintptr_t>(source));
            if (origin != graph.Nodes.end()) {
                origin->second.Out.erase(lock);
            }
        }
        node = graph.Nodes.erase(node);
    }
}

void KmLockOrderBoot()
{
    KmpGraph& graph = KmpTheGraph();
    std::lock_guard<std::mutex> hold(graph.Lock);
    graph.Nodes.clear();
}
