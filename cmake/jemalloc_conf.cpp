// jemalloc's settings for our programs, read when it starts.
//
// One arena for all threads. A store run's messages are made on the cutting thread and freed
// on the workers, and with jemalloc's default of four arenas per core each arena kept the
// freed pages of its own busiest moment for seconds: on the 1 GB benchmark mailbox a .msg run
// peaked at 62-69 MB that way and at 53-56 MB with one arena, a .pst run at 84-88 MB and at
// 67-70 MB, with no difference in time measured. The threads' own caches serve the small
// blocks without taking the arena's lock.
extern "C" {
const char* malloc_conf = "narenas:1";
}
