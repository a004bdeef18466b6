#pragma once
// The change notices of a PostgreSQL store, which keep the process's CStrataCache of that store
// (strata_cache.h) in step with writes of other processes and hosts (another vk9000, the strata
// tool). Internal to vkstrata.
//
// The store tells of its changes itself: statement-level triggers on the tables that searches and
// record reads depend on (records, postings, keys, databases) call pg_notify on the channel
// kPgChangeChannel, so every committed write of any program sends one notice per transaction.
// They are made, once, by the first listener that finds them missing (under an advisory lock).
// CPgChangeListener holds one connection of its own to the primary (outside the pool) that
// LISTENs; at each notice it reads the primary's write position and empties the cache with it,
// so that refills from standbys wait until they have replayed the change. When the connection is
// lost the cache stops serving and empties (notices may have been missed); the listener connects
// again, every kPgListenRetry, and the cache serves again once it listens. A listener whose store
// has not been used for kPgListenerIdle while it cannot reach the server ends (a dropped
// database does not keep a thread for ever); the next channel opened makes a new one.
// Thread safety: one thread per listener; the registry of listeners is locked.

#include <chrono>
#include <memory>
#include <string>

#include "backend/strata/pg_driver.h"
#include "backend/strata/strata_cache.h"

constexpr const char* kPgChangeChannel = "velkan_store_changed";
constexpr auto kPgListenRetry = std::chrono::seconds(1);
constexpr auto kPgListenerIdle = std::chrono::seconds(60);
constexpr int64_t kPgTriggerLock = 358483100001;  // advisory lock of making the triggers

// The later of two WAL positions ("X/Y" hex, or kPgOnPrimary, which is later than any).
std::string PgLaterPosition(const std::string& a, const std::string& b);

// A channel to the store at `target` (OpenPgStore's) behind the process's cache of that store;
// OpenPgStore's channel alone when caching is off (StrataCacheBytes() is 0).
std::unique_ptr<IStrataStore> OpenCachedPgStore(const PgTarget& target, bool create, StrataStatus& st);
