/* Clips compressed on worker threads: the same stream, the same callback order and the
 * same failure reports as on the calling thread alone. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec_helpers.h"
#include "test_data.h"
#include "vko_wrapper.h"

using namespace vekko_test;

namespace {

/* Streams that log every call (with the thread it came on) and can be told to fail. */
struct Log {
    std::vector<std::pair<uint64_t, uint64_t>> reads, writes; /* (position, length) */
    std::vector<std::thread::id> threads;
};

struct LoggedInput {
    Bytes data;
    Log* log;
    int fail_at = -1; /* index of the read call that fails */
    mirv_TStreamInput stream;
    LoggedInput(Bytes bytes, Log* l) : data(std::move(bytes)), log(l) {
        stream = {this, data.size(), &LoggedInput::read, nullptr};
    }
    static mirv_BOOL read(const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* end) {
        LoggedInput* self = static_cast<LoggedInput*>(s->owner);
        self->log->threads.push_back(std::this_thread::get_id());
        if ((int)self->log->reads.size() == self->fail_at) return 0;
        self->log->reads.emplace_back(pos, (uint64_t)(end - out));
        if (pos + (uint64_t)(end - out) > self->data.size()) return 0;
        std::memcpy(out, self->data.data() + pos, (size_t)(end - out));
        return 1;
    }
};

struct LoggedOutput {
    Bytes bytes;
    Log* log;
    int fail_at = -1; /* index of the write call that fails */
    mirv_TStreamOutput stream;
    explicit LoggedOutput(Log* l) : log(l) { stream = {this, UINT64_MAX, nullptr, &LoggedOutput::write}; }
    static mirv_BOOL write(const mirv_TStreamOutput* s, uint64_t pos, const unsigned char* d, const unsigned char* e) {
        LoggedOutput* self = static_cast<LoggedOutput*>(s->owner);
        self->log->threads.push_back(std::this_thread::get_id());
        if ((int)self->log->writes.size() == self->fail_at) return 0;
        self->log->writes.emplace_back(pos, (uint64_t)(e - d));
        if (self->bytes.size() < pos + (uint64_t)(e - d)) self->bytes.resize((size_t)(pos + (e - d)));
        std::copy(d, e, self->bytes.begin() + (ptrdiff_t)pos);
        return 1;
    }
};

/* What one compression did: its result or failure text, the bytes it left in the
 * output and every call it made. */
struct Outcome {
    uint64_t result = 0;
    std::string error;
    Bytes out;
    Log log;
};

Outcome compressLogged(const Bytes& data, uint64_t dict_size, uint64_t threads, int fail_read = -1,
                   int fail_write = -1, bool lines = true) {
    Outcome run;
    LoggedInput in(data, &run.log);
    LoggedOutput out(&run.log);
    in.fail_at = fail_read;
    out.fail_at = fail_write;
    vko_TCompressProps props = propsWith(dict_size, lines);
    props.threadNum = threads;
    try {
        run.result = vko_compress(&out.stream, &in.stream, &props);
    } catch (const std::runtime_error& e) {
        run.error = e.what();
    }
    run.out = out.bytes;
    return run;
}

/* Text stretches between random ones, so that clips differ in how long they take and
 * in the distances they use, yet compress quickly. */
Bytes mixedInput(size_t n, uint64_t seed) {
    Bytes out;
    for (uint64_t k = 0; out.size() < n; ++k) {
        const Bytes piece = (k % 3 == 0) ? textLike(12000 + 4000 * (k % 5), seed + k)
                                         : randomBytes(30000 + 7000 * (k % 4), seed + k, (k % 4) ? 256 : 16);
        out.insert(out.end(), piece.begin(), piece.begin() + (ptrdiff_t)std::min(piece.size(), n - out.size()));
    }
    return out;
}

TEST(Parallel, SameBytesForEveryClipCountAndThreadCount) {
    struct Case {
        size_t size;
        uint64_t dict;
    } const cases[] = {
        {262143, 4096},     /* one clip: stays on the calling thread */
        {262144, 4096},     /* two clips of 131072 */
        {600000, 4096},     /* three */
        {1100000, 4096},    /* five */
        {1700000, 4096},    /* seven */
        {700000, 1000000},  /* dictionary reaching back over more than one earlier clip */
        {1500000, 786431},  /* step above 256 KiB */
    };
    const uint64_t threadCounts[] = {0, 2, 3, 8, UINT64_MAX};
    for (const Case& c : cases) {
        const Bytes data = mixedInput(c.size, c.size);
        const Outcome one = compressLogged(data, c.dict, 1);
        ASSERT_EQ(one.error, "");
        ASSERT_EQ(one.result, one.out.size());
        const Decoded back = decodeMem(one.out, data.size());
        ASSERT_EQ(back.result, vko_RESULT_STREAM_END);
        ASSERT_EQ(back.bytes, data);
        for (uint64_t threads : threadCounts) {
            SCOPED_TRACE("size " + std::to_string(c.size) + ", dict " + std::to_string(c.dict) + ", threads " +
                         std::to_string(threads));
            const Outcome many = compressLogged(data, c.dict, threads);
            EXPECT_EQ(many.error, "");
            EXPECT_EQ(many.result, one.result);
            EXPECT_TRUE(many.out == one.out);
            /* same reads and writes, in the same order, all on this thread */
            EXPECT_EQ(many.log.reads, one.log.reads);
            EXPECT_EQ(many.log.writes, one.log.writes);
            for (std::thread::id id : many.log.threads) EXPECT_EQ(id, std::this_thread::get_id());
        }
    }
}

TEST(Parallel, LiteralLinesOffAndOtherContentToo) {
    const Bytes inputs[] = {randomBytes(600000, 7, 256), randomBytes(300000, 8, 2), textLike(500000, 9)};
    for (const Bytes& data : inputs) {
        for (bool lines : {false, true}) {
            const Outcome one = compressLogged(data, 4096, 1, -1, -1, lines);
            const Outcome two = compressLogged(data, 4096, 2, -1, -1, lines);
            ASSERT_EQ(one.error, "");
            EXPECT_TRUE(two.out == one.out) << "literal lines " << lines;
        }
    }
}

/* A failing read or write ends the call with the message one thread gives, after the
 * same calls and with the same bytes already written. */
TEST(Parallel, FailuresReportedAsOnOneThread) {
    /* header write, four clip reads and writes, header rewrite (no match reaches back 64 KiB) */
    const Bytes data = mixedInput(800000, 3);
    const uint64_t kDict = 65536;
    {
        const Outcome plain = compressLogged(data, kDict, 1);
        ASSERT_EQ(plain.log.reads.size(), 4u);
        ASSERT_EQ(plain.log.writes.size(), 6u);
    }
    struct Case {
        int fail_read, fail_write;
        const char* expected;
    } const cases[] = {
        {0, -1, "check data->read("},
        {2, -1, "check data->read("},
        {3, -1, "check data->read("},
        {-1, 0, "check out_code->write("},
        {-1, 1, "check out_code->write("},
        {-1, 3, "check out_code->write("},
        {-1, 4, "check out_code->write("},
        {-1, 5, "check out_code->write("}, /* the header rewrite */
        {3, 2, "check out_code->write("},  /* the write of clip 1 fails before the read of clip 3 would */
        {2, 3, "check data->read("},       /* the read of clip 2 fails before the write of clip 2 would */
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("read " + std::to_string(c.fail_read) + ", write " + std::to_string(c.fail_write));
        const Outcome one = compressLogged(data, kDict, 1, c.fail_read, c.fail_write);
        ASSERT_EQ(one.error.compare(0, std::strlen(c.expected), c.expected), 0) << one.error;
        for (uint64_t threads : {2, 16}) {
            const Outcome many = compressLogged(data, kDict, threads, c.fail_read, c.fail_write);
            EXPECT_EQ(many.error, one.error);
            EXPECT_EQ(many.log.writes, one.log.writes);
            EXPECT_TRUE(many.out == one.out);
            /* reads may run ahead of the writes, but only in input order */
            ASSERT_GE(many.log.reads.size(), one.log.reads.size());
            EXPECT_TRUE(std::equal(one.log.reads.begin(), one.log.reads.end(), many.log.reads.begin()));
            for (size_t i = 1; i < many.log.reads.size(); ++i)
                EXPECT_EQ(many.log.reads[i].first, many.log.reads[i - 1].first + many.log.reads[i - 1].second);
        }
    }
}

/* A source that has more bytes each time it is read: every clip's bounds come from the
 * size as it stood after the previous clip's read, with any number of threads. */
TEST(Parallel, GrowingSourceGivesTheSameStream) {
    const Bytes full = mixedInput(1000000, 5);
    Bytes streams[3];
    const uint64_t threads[] = {1, 2, 4};
    for (int t = 0; t < 3; ++t) {
        Log log;
        LoggedInput in(full, &log);
        in.stream.size = 300000; /* two clips of 150000 at first */
        in.stream.read = [](const mirv_TStreamInput* s, uint64_t pos, unsigned char* out, unsigned char* end) {
            mirv_TStreamInput* grown = const_cast<mirv_TStreamInput*>(s);
            const mirv_BOOL ok = LoggedInput::read(s, pos, out, end);
            grown->size = std::min<uint64_t>(grown->size + 170000, static_cast<LoggedInput*>(s->owner)->data.size());
            return ok;
        };
        LoggedOutput out(&log);
        vko_TCompressProps props = propsWith(4096, true);
        props.threadNum = threads[t];
        const uint64_t written = vko_compress(&out.stream, &in.stream, &props);
        EXPECT_EQ(written, out.bytes.size());
        EXPECT_GT(log.reads.size(), 3u); /* more clips than the first size allowed */
        streams[t] = out.bytes;
    }
    const Decoded back = decodeMem(streams[0], full.size());
    ASSERT_EQ(back.result, vko_RESULT_STREAM_END);
    EXPECT_TRUE(back.bytes == full);
    EXPECT_TRUE(streams[1] == streams[0]);
    EXPECT_TRUE(streams[2] == streams[0]);
}

TEST(Parallel, MemoryWrapperWithThreads) {
    const Bytes data = mixedInput(900000, 11);
    Bytes one(vko_max_compressed_size(data.size()));
    const uint64_t n = vko_compress_mem(data.data(), data.size(), one.data(), one.size(), 4096);
    ASSERT_GT(n, 0u);
    for (uint64_t threads : {0, 1, 2, 5}) {
        Bytes many(vko_max_compressed_size(data.size()));
        EXPECT_EQ(vko_compress_mem_threads(data.data(), data.size(), many.data(), many.size(), 4096, threads), n);
        EXPECT_EQ(std::memcmp(many.data(), one.data(), (size_t)n), 0) << threads << " threads";
    }
    /* too small an output fails the same way whatever the thread count */
    Bytes small(n / 2);
    std::string texts[2];
    for (int i = 0; i < 2; ++i) {
        try {
            vko_compress_mem_threads(data.data(), data.size(), small.data(), small.size(), 4096, i ? 4 : 1);
        } catch (const std::runtime_error& e) {
            texts[i] = e.what();
        }
    }
    EXPECT_NE(texts[0], "");
    EXPECT_EQ(texts[1], texts[0]);
}

} // namespace
