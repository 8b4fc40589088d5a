// Thread stress: threads read, set, create, delete and save one shared tree
// for about a second; every value read must be one some thread wrote (never
// torn, never newer than what was begun), and attributes nobody writes keep
// their values. Under ThreadSanitizer (scripts/tsan) it finds data races in
// the library and the store. cfgCtl, the context stack, the update registries
// and the kind ids each module looks up on first use are process-wide state
// without a lock by design: the tree is built (every module used once) before
// the threads start. A second test starts loads together and reads nodes
// through the accessors that take the lock themselves amid changes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cfg_private.h"
#include "support.h"

namespace {

constexpr int kWriters = 3, kChurners = 2, kSlots = 8, kPool = 6, kFixed = 4;
constexpr const char *kTail = "-tail-to-make-tearing-visible";
constexpr auto kDuration = std::chrono::milliseconds(1000);
const uint16_t kItem = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_ITEM"));

// The highest sequence number each writer has begun to write: it is
// published before the value is set, so a reader that sees a value sees
// its number published too.
std::atomic<uint32_t> g_written[kWriters + kChurners];
std::atomic<bool> g_stop{false};
std::atomic<long> g_reads{0}, g_sets{0}, g_creates{0}, g_deletes{0}, g_saves{0};

std::string slot(int i) { return "shared.slot[" + std::to_string(i) + "]"; }
std::string pool(int i) { return "pool.obj[" + std::to_string(i) + "]"; }
std::string fixed(int i) { return "fixed.r[" + std::to_string(i) + "]"; }
std::string count_of(int writer) { return "shared.count[" + std::to_string(writer) + "]"; }

std::string value_of(int writer, uint32_t sequence) {
    return "w" + std::to_string(writer) + "#" + std::to_string(sequence) + kTail;
}

// What a thread may meet while another one deletes the item.
void expect_ok_or_missing(int status) {
    if (status != CFG_OK) EXPECT_STATUS(CFG_NOT_FOUND, status);
}

// "w<writer>#<sequence><tail>": true when that writer has begun to write
// that number, and the value is whole.
bool written(const char *value) {
    if (std::strcmp(value, "init") == 0) return true;
    unsigned writer = 0, sequence = 0;
    int end = 0;
    if (std::sscanf(value, "w%u#%u%n", &writer, &sequence, &end) != 2 || std::strcmp(value + end, kTail) != 0)
        return false;
    return writer < kWriters + kChurners && sequence > 0 && sequence <= g_written[writer].load();
}

void writer(int id) {
    for (uint32_t seq = 1; !g_stop.load(); ++seq) {
        g_written[id].store(seq);
        std::string value = value_of(id, seq);
        EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue(slot(static_cast<int>(seq % kSlots)).c_str(), value.c_str()));
        EXPECT_STATUS(CFG_OK, Cfg_SetIntAttrValue(count_of(id).c_str(), static_cast<int32_t>(seq)));
        // the tree keeps changing shape below the readers
        std::string extra = "shared.x" + std::to_string(id) + ".e[" + std::to_string(seq % 64) + "]";
        EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue(extra.c_str(), value.c_str()));
        g_sets += 3;
    }
}

void reader(int id) {
    std::mt19937 random(static_cast<unsigned>(id));
    char value[640];
    while (!g_stop.load()) {
        int i = static_cast<int>(random() % kSlots);
        EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue(slot(i).c_str(), value, sizeof value));
        EXPECT_TRUE(written(value)) << slot(i) << " = '" << value << "'";
        // The same value through a reference, and the first slot through a
        // wildcard instance.
        std::string ref = "${" + slot(i) + "}";
        EXPECT_STATUS(CFG_OK, Cfg_Substitute(ref.c_str(), value, sizeof value));
        EXPECT_TRUE(written(value)) << ref << " = '" << value << "'";
        EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("shared.slot[*]", value, sizeof value));
        EXPECT_TRUE(written(value)) << "slot[*] = '" << value << "'";
        int w = static_cast<int>(random() % kWriters);
        int32_t count = 0;
        int status = Cfg_GetIntAttrValue(count_of(w).c_str(), &count);  // missing: not written yet
        expect_ok_or_missing(status);
        if (status == CFG_OK) { EXPECT_LE(static_cast<uint32_t>(count), g_written[w].load()); }
        // Pool items come and go.
        int p = static_cast<int>(random() % kPool);
        // The lock is held from the lookup to the read: an attribute that
        // is being deleted is there or missing, never "not an attribute".
        status = Cfg_GetAttrValue((pool(p) + ".v").c_str(), value, sizeof value);
        expect_ok_or_missing(status);
        if (status == CFG_OK) { EXPECT_TRUE(written(value)) << pool(p) << ".v = '" << value << "'"; }
        // So for a pointer (not read here: its attribute may go at once).
        const char *pointer = nullptr;
        expect_ok_or_missing(Cfg_GetAttrValuePtr((pool(p) + ".v").c_str(), &pointer));
        EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue(fixed(id % kFixed).c_str(), value, sizeof value));
        EXPECT_EQ("fixed-" + std::to_string(id % kFixed), std::string(value));
        g_reads += 6;
    }
}

// Creates pool objects with a value, and deletes them again.
void churner(int id) {
    std::mt19937 random(static_cast<unsigned>(100 + id));
    for (uint32_t seq = 1; !g_stop.load(); ++seq) {
        int p = static_cast<int>(random() % kPool);
        switch (random() % 5) {
        case 0:
        case 1: {
            g_written[id].store(seq);
            std::string value = value_of(id, seq);
            EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue((pool(p) + ".v").c_str(), value.c_str()));
            ++g_creates;
            break;
        }
        case 2:
            expect_ok_or_missing(Cfg_Delete(pool(p).c_str()));
            ++g_deletes;
            break;
        case 3: {
            // A start that another thread may delete: made under, or refused.
            cfg_handle start = 0, made = 0;
            if (Cfg_Find(pool(p).c_str(), &start) != CFG_OK) break;
            int status = cfg_create_item(start, "c.d", kItem, &made);
            if (status != CFG_OK) EXPECT_STATUS(CFG_ERR_BAD_OBJECT, status);
            ++g_creates;
            break;
        }
        default:
            expect_ok_or_missing(Cfg_Delete("pool.obj[*].v"));
            ++g_deletes;
            break;
        }
    }
}

// Saves the whole tree: one consistent state, every slot value written.
void saver() {
    while (!g_stop.load()) {
        char *text = nullptr;
        std::size_t size = 0;
        FILE *stream = open_memstream(&text, &size);
        EXPECT_STATUS(CFG_OK, Cfg_Save(nullptr, stream));
        std::fclose(stream);
        std::string saved(text, size);
        std::free(text);
        for (int i = 0; i < kSlots; ++i) {
            std::string key = "slot[" + std::to_string(i) + "] = ";
            std::size_t at = saved.find(key);
            ASSERT_NE(std::string::npos, at) << saved;
            std::string value = saved.substr(at + key.size(), saved.find('\n', at) - at - key.size());
            EXPECT_TRUE(written(value.c_str())) << key << value;
        }
        ++g_saves;
    }
}

void build_tree() {
    for (int i = 0; i < kSlots; ++i) ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(slot(i).c_str(), "init"));
    for (int k = 0; k < kFixed; ++k)
        ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(fixed(k).c_str(), ("fixed-" + std::to_string(k)).c_str()));
    // Every module that caches kind ids looks them up once, here.
    char value[64];
    ASSERT_STATUS(CFG_OK, Cfg_Substitute("${shared.slot[0]}", value, sizeof value));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("pool.obj[0].v", "init"));
    ASSERT_STATUS(CFG_OK, Cfg_Delete("pool.obj[0]"));
    FILE *null = std::fopen("/dev/null", "w");
    ASSERT_STATUS(CFG_OK, Cfg_Save(nullptr, null));
    std::fclose(null);
}

TEST(Stress, ThreadsReadSetCreateAndDeleteOneTree) {
    cfgtest::ScopedEnv quiet("CFGTREE_LOG_LEVEL", "0");
    build_tree();
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) threads.emplace_back(writer, i);
    for (int i = 0; i < kChurners; ++i) threads.emplace_back(churner, kWriters + i);
    for (int i = 0; i < kFixed; ++i) threads.emplace_back(reader, i);
    threads.emplace_back(saver);
    std::this_thread::sleep_for(kDuration);
    g_stop = true;
    for (auto &t : threads) t.join();
    std::printf("[  stress  ] %ld reads, %ld sets, %ld creates, %ld deletes, %ld saves\n", g_reads.load(),
                g_sets.load(), g_creates.load(), g_deletes.load(), g_saves.load());
    for (long count : {g_reads.load(), g_sets.load(), g_deletes.load(), g_saves.load()}) EXPECT_GT(count, 0);

    // Afterwards the tree is whole: every slot holds a written value, each
    // writer's own count its last one, and the pool empties completely.
    char value[640];
    for (int i = 0; i < kSlots; ++i) {
        EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue(slot(i).c_str(), value, sizeof value));
        EXPECT_TRUE(written(value)) << value;
    }
    for (int w = 0; w < kWriters; ++w) {
        int32_t count = 0;
        EXPECT_STATUS(CFG_OK, Cfg_GetIntAttrValue(count_of(w).c_str(), &count));
        EXPECT_EQ(g_written[w].load(), static_cast<uint32_t>(count));
    }
    expect_ok_or_missing(Cfg_Delete("pool.obj[*]"));
    EXPECT_EQ("obj pool\n", cfgtest::dump_tree().substr(cfgtest::dump_tree().find("obj pool")));
}

// Loads started together read and log CONFIG_PATH once; node accessors and
// direct substitutions run while another thread sets and deletes what they read.
std::atomic<int> g_path_logs{0};
void count_path_logs(void *, int level, const char *, int, const char *message) {
    if (level == 1 && std::strncmp(message, "CONFIG_PATH = ", 14) == 0) ++g_path_logs;
}

TEST(Stress, FirstSearchPathLookupsAndNodeAccessorsAmidChanges) {
    cfgtest::TempDir dir;
    dir.write("x.cfg", "a = 1\n");
    cfgtest::ScopedEnv path("CONFIG_PATH", dir.path().c_str());
    cfgtree::reset_search_path();
    Log_SetSink(count_path_logs, nullptr);
    std::atomic<int> ready{0}, found{0};
    std::vector<std::thread> loaders;
    for (int i = 0; i < 4; ++i)
        loaders.emplace_back([&] {
            for (++ready; ready.load() < 4;) std::this_thread::yield();
            if (cfg_locate_file("x.cfg", nullptr, 0) == CFG_OK) ++found;
        });
    for (auto &t : loaders) t.join();
    EXPECT_EQ(4, found.load());
    EXPECT_EQ(1, g_path_logs.load());

    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("o.y", "1"));
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        while (!stop.load()) {
            (void)Cfg_SetAttrValue("o.x", "${o.y}");
            (void)Cfg_Delete("o");
            (void)Cfg_SetAttrValue("o.y", "1");
        }
    });
    std::thread reader([&] {
        char out[640];
        while (!stop.load()) {
            cfg_handle item = 0, reference = 0;
            uint32_t flag = 0;
            if (cfg_find_item(0, "o", &item, &reference, nullptr) == CFG_OK) {
                (void)cfg_object_ref(reference);
                (void)cfg_is_read_only(reference, &flag);
            }
            (void)cfg_refSubstitute("${o.x}", out, sizeof out);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    changer.join();
    reader.join();
    Log_SetSink(nullptr, nullptr);
}

// cfgCtl is read without a lock: one thread switches a flag while another
// reads and sets values, which test other bits of the same word.
TEST(Stress, FlagSwitchedWhileAnotherThreadReadsAndSets) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("flags.a", "${flags.b}"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("flags.b", "1"));
    std::atomic<bool> started{false}, stop{false};
    std::thread user([&] {
        char value[64];
        for (started = true; !stop.load();) {
            EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("flags.a", value, sizeof value));
            EXPECT_STREQ("1", value);
            EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("flags.c", "2"));
        }
    });
    while (!started.load()) std::this_thread::yield();
    uint32_t before = Cfg_IgnoreUpdateWarnings(0);
    for (int i = 0; i < 2000; ++i) (void)Cfg_IgnoreUpdateWarnings(i & 1);
    (void)Cfg_IgnoreUpdateWarnings(before);
    stop = true;
    user.join();
}

// The store's lock is taken with plain stores while the process has one
// thread. A thread made while it is held so must wait for it, and see every
// change made under it: the release hands over as between two threads.
TEST(Stress, ALockTakenBeforeTheFirstThreadHandsOverToIt) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("handover.n", "0"));
    ds_lock();
    std::atomic<bool> started{false}, read{false};
    std::thread other([&] {
        started = true;
        char value[64];
        EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("handover.n", value, sizeof value));
        read = true;
        EXPECT_STREQ("100", value);
        for (int i = 0; i < 100; ++i) EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("handover.m", "1"));
    });
    while (!started.load()) std::this_thread::yield();
    for (int i = 1; i <= 100; ++i) ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("handover.n", std::to_string(i).c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(read.load()) << "the lock held before the thread existed must keep it out";
    ds_unlock();
    for (int i = 0; i < 100; ++i) EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("handover.k", "1"));
    other.join();
    EXPECT_TRUE(read.load());
}

}  // namespace
