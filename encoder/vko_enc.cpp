#include "vko_enc.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "vko_enc_check.h"
#include "vko_enc_clip.h"
#include "vko_enc_code.h"

using namespace _vko_private;

const vko_TCompressProps vko_kDefaultCompressProps = {
    (uint64_t)1 << 20,       /* dictSize */
    vko_kMaxOfMaxSaveLength, /* maxSaveLength */
    1,                       /* threadNum */
    true                     /* useLiteralLine */
};

uint64_t vko_maxCompressedSize(uint64_t data_size) {
    return data_size + data_size / 8 + 4 * (data_size >> 18) + 23;
}

namespace {

/* Clip size for an input of data_size bytes under the working dictionary size: clips
 * advance by about a third of the dictionary (at least 256 KiB), and all but the last
 * get the same size. */
uint64_t clip_size(uint64_t dict_size, uint64_t data_size) {
    const uint64_t step = std::min<uint64_t>(std::max<uint64_t>((dict_size + 1) / 3, (uint64_t)1 << 18), 357913941);
    const uint64_t count = data_size / step + 1;
    return (data_size + count - 1) / count;
}

/* Writes code at cur_out_pos and empties it. */
void flush_code(const mirv_TStreamOutput* out_code, uint64_t cur_out_pos, std::vector<unsigned char>& code) {
    vko_check(out_code->write(out_code,cur_out_pos,code.data(),code.data()+code.size()));
    code.clear();
}

/* ---- clips on worker threads ----
 *
 * A clip's codes depend only on its window (up to dictSize input bytes before it, then
 * the clip), never on earlier clips' codes, so windows can be encoded concurrently.
 * The calling thread does every read and write: it reads each clip's bytes in input
 * order into the window it keeps from clip to clip, hands a copy of that window to a
 * worker, and writes finished clips in output order.  At most as many clips as there
 * are workers are held at once, which bounds the memory. */

/* Upper bound on worker threads, whatever threadNum asks for. */
const uint64_t kMaxWorkerThreads = 256;

/* One clip on its way through a worker: the window goes in, the clip's codes (ending
 * with its clip-end or stream-end code) or the exception it raised come out. */
struct ClipJob {
    std::vector<unsigned char> window; /* history, then the clip's clipLen bytes */
    size_t clipLen = 0;
    bool streamEnd = false;
    std::vector<unsigned char> code;
    uint64_t dictSizeMax = 1;
    std::exception_ptr error;
    bool done = false; /* guarded by ClipWorkers::mutex */
};

void encode_job(ClipJob& job, const vko_TCompressProps& props) {
    try {
        TVkoCode coder(job.code, props.useLiteralLine);
        if (job.clipLen != 0) {
            const unsigned char* window = job.window.data();
            encode_window(coder, window, window + job.window.size(), job.clipLen, props);
        }
        if (job.streamEnd)
            coder.outCtrl_streamEnd();
        else
            coder.outCtrl_clipEnd();
        job.dictSizeMax = coder.dictSizeMax;
    } catch (...) {
        job.error = std::current_exception();
    }
    /* the window is not needed any more; free it before the clip waits for its turn */
    std::vector<unsigned char>().swap(job.window);
}

/* A fixed set of threads encoding submitted jobs in submission order.  The destructor
 * drops jobs not yet started and waits for the running ones. */
class ClipWorkers {
public:
    ClipWorkers(size_t thread_count, const vko_TCompressProps& props) : props(props) {
        threads.reserve(thread_count); /* so that only starting a thread can fail below */
        try {
            for (size_t i = 0; i < thread_count; ++i) threads.emplace_back(&ClipWorkers::run, this);
        } catch (const std::system_error&) {
            /* go on with the threads there are; with none, submit encodes in place */
        }
    }
    ~ClipWorkers() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            queue.clear();
        }
        jobReady.notify_all();
        for (std::thread& t : threads) t.join();
    }
    ClipWorkers(const ClipWorkers&) = delete;
    ClipWorkers& operator=(const ClipWorkers&) = delete;

    void submit(ClipJob* job) {
        if (threads.empty()) {
            encode_job(*job, props);
            job->done = true;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(job);
        }
        jobReady.notify_one();
    }

    void wait(ClipJob* job) {
        std::unique_lock<std::mutex> lock(mutex);
        jobDone.wait(lock, [job] { return job->done; });
    }

private:
    const vko_TCompressProps& props;
    std::mutex mutex;
    std::condition_variable jobReady, jobDone;
    std::deque<ClipJob*> queue;
    bool stopping = false;
    std::vector<std::thread> threads;

    void run() {
        for (;;) {
            ClipJob* job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                jobReady.wait(lock, [this] { return stopping || !queue.empty(); });
                if (stopping) return;
                job = queue.front();
                queue.pop_front();
            }
            encode_job(*job, props);
            {
                std::lock_guard<std::mutex> lock(mutex);
                job->done = true;
            }
            jobDone.notify_all();
        }
    }
};

/* The clip loop on worker_count threads: the same stream, reads and writes as
 * compress_clips_here, except that reads run up to worker_count clips ahead of the
 * writes.  Failures are reported in the order the one-thread loop meets them: a clip's
 * read or encoding failure only after every earlier clip is written. */
void compress_clips_parallel(const mirv_TStreamOutput* out_code, const mirv_TStreamInput* data,
                             const vko_TCompressProps& selfProps, uint64_t clipSize, uint64_t data_size,
                             size_t worker_count, uint64_t& cur_out_pos, uint64_t& curDictSizeMax) {
    std::deque<std::unique_ptr<ClipJob>> inFlight; /* outlives the workers, which may still hold jobs */
    ClipWorkers workers(worker_count, selfProps);
    TDictBuf dict_buf;
    std::exception_ptr readError;
    bool inputDone = false;
    uint64_t clipBegin = 0;
    for (;;) {
        while (!inputDone && inFlight.size() < worker_count) {
            std::unique_ptr<ClipJob> job(new ClipJob);
            const uint64_t clipEnd = clipBegin + clipSize;
            const uint64_t clipLast = std::min(clipEnd, data_size);
            if (clipBegin < clipLast) {
                try {
                    update_window(data, clipBegin, clipLast, selfProps.dictSize, dict_buf);
                    job->window = dict_buf.data_buf;
                    job->clipLen = (size_t)(clipLast - clipBegin);
                    trim_window(clipLast, selfProps.dictSize, dict_buf);
                } catch (...) {
                    readError = std::current_exception();
                    inputDone = true;
                    break;
                }
            }
            job->streamEnd = !(clipEnd < data_size);
            if (job->streamEnd) {
                inputDone = true;
                std::vector<unsigned char>().swap(dict_buf.data_buf);
            } else {
                clipBegin = clipEnd;
                data_size = data->size; /* a growing source may have more by now */
            }
            inFlight.push_back(std::move(job));
            workers.submit(inFlight.back().get());
        }
        if (inFlight.empty()) break;
        ClipJob& job = *inFlight.front();
        workers.wait(&job);
        if (job.error) std::rethrow_exception(job.error);
        curDictSizeMax = std::max(curDictSizeMax, job.dictSizeMax);
        const uint64_t code_len = job.code.size();
        flush_code(out_code, cur_out_pos, job.code);
        cur_out_pos += code_len;
        inFlight.pop_front();
    }
    if (readError) std::rethrow_exception(readError);
}

/* The clip loop on the calling thread. */
void compress_clips_here(const mirv_TStreamOutput* out_code, const mirv_TStreamInput* data,
                         const vko_TCompressProps& selfProps, uint64_t clipSize, uint64_t data_size,
                         uint64_t& cur_out_pos, uint64_t& curDictSizeMax) {
    std::vector<unsigned char> code;
    TDictBuf dict_buf;
    for (uint64_t clipBegin = 0;;) {
        TVkoCode coder(code, selfProps.useLiteralLine);
        const uint64_t clipEnd = clipBegin + clipSize;
        const uint64_t clipLast = std::min(clipEnd, data_size);
        if (clipBegin < clipLast) compress_clip(coder, data, clipBegin, clipLast, selfProps, dict_buf);
        if (clipEnd < data_size)
            coder.outCtrl_clipEnd();
        else
            coder.outCtrl_streamEnd();
        curDictSizeMax = std::max(curDictSizeMax, coder.dictSizeMax);
        const uint64_t code_len = code.size();
        flush_code(out_code, cur_out_pos, code);
        cur_out_pos += code_len;
        if (clipEnd >= data_size) break;
        clipBegin = clipEnd;
        data_size = data->size; /* a growing source may have more by now */
    }
}

} // namespace

uint64_t vko_compress(const mirv_TStreamOutput* out_code, const mirv_TStreamInput* data,
                      const vko_TCompressProps* props) {
    vko_check(out_code&&(out_code->write));
    vko_check(data&&(data->read));
    if (props) {
        vko_check_msg((props->dictSize >= 1) && (props->dictSize <= vko_kMaxOfDictSize),
                      "(props->dictSize>=1)&(props->dictSize<=vko_kMaxOfDictSize)");
        vko_check(props->maxSaveLength==(vko_length_t)props->maxSaveLength);
        vko_check((props->maxSaveLength>=vko_kMinOfMaxSaveLength)&&(props->maxSaveLength<=vko_kMaxOfMaxSaveLength));
    } else {
        props = &vko_kDefaultCompressProps;
    }

    const uint64_t data_size = data->size;
    vko_TCompressProps selfProps = *props;
    if (data_size < selfProps.dictSize) selfProps.dictSize = data_size ? data_size : 1;

    std::vector<unsigned char> code;
    uint64_t cur_out_pos = 0;
    {
        TVkoCode coder(code, selfProps.useLiteralLine);
        coder.outDictSize(selfProps.dictSize);
    }
    flush_code(out_code, cur_out_pos, code);
    cur_out_pos = 4;

    const uint64_t clipSize = clip_size(selfProps.dictSize, data_size);
    /* More workers than clips would only wait; a source that grows later gets no more. */
    const uint64_t clipCount = clipSize ? (data_size + clipSize - 1) / clipSize : 1;
    const uint64_t workers = std::min(std::min(selfProps.threadNum, clipCount), kMaxWorkerThreads);
    uint64_t curDictSizeMax = 1;
    if (workers > 1)
        compress_clips_parallel(out_code, data, selfProps, clipSize, data_size, (size_t)workers, cur_out_pos,
                                curDictSizeMax);
    else
        compress_clips_here(out_code, data, selfProps, clipSize, data_size, cur_out_pos, curDictSizeMax);

    vko_check(curDictSizeMax<=selfProps.dictSize);
    if (curDictSizeMax < selfProps.dictSize) {
        TVkoCode coder(code, selfProps.useLiteralLine);
        coder.outDictSize(curDictSizeMax);
        flush_code(out_code, 0, code);
    }
    return cur_out_pos;
}
