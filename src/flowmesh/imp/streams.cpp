// StreamsImp: event streams to many clients (the monitor's open pages), all
// written by one thread of its own that runs no Python. A Python thread per
// client took the GIL back from the pipeline's threads for every wake-up and
// every write, which cost a free-running chain more than the work itself:
// here a publish is a copy into the shared slot, and what the clients cost
// the process is one thread's non-blocking sends.
//
// Each client gets the newest event only: one that cannot keep up skips the
// events published while it was still being written to, and one that takes
// nothing for `timeout` seconds is cut off (its socket shut down, which ends
// the reading thread that serves it). The clients' sockets are duplicated
// here, so a socket closed by its owner is never written through a reused
// descriptor.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "input_side.hpp"

namespace fm::ports {

namespace {

using Clock = std::chrono::steady_clock;
using Event = std::shared_ptr<const std::string>;

struct Client {
    int64_t id;
    int fd;         // our own duplicate, closed when the client is removed
    Event sending;  // the event being written, or null
    size_t offset = 0;
    uint64_t seen;                // the newest event's number when it was taken
    Clock::time_point waiting{};  // since when `sending` has not gone out whole
    bool cut = false;             // shut down: its reader removes it
};

// What the Python object and the writer thread share; the thread holds it
// alive, so an object collected while the thread still runs leaves it sound.
struct Hub {
    std::mutex lock;
    std::condition_variable wake;
    std::vector<Client> clients;
    Event latest;
    uint64_t sequence = 0;  // events published
    int64_t next_id = 1;
    std::chrono::duration<double> keepalive;
    std::chrono::duration<double> timeout;
    Clock::time_point quiet_since = Clock::now();  // the last event or keep-alive
    bool closed = false;                           // takes no more clients
    bool stopping = false;
    pid_t owner = getpid();  // a forked child has no writer to join
    // Its own, not a static: the writer may outlive the statics at exit.
    Event keepalive_event = std::make_shared<const std::string>(": keep-alive\n\n");

    // Writes what `c` has pending without blocking; false once it is cut.
    bool write_some(Client& c, Clock::time_point now) {
        while (c.sending && c.offset < c.sending->size()) {
            ssize_t n = ::send(c.fd, c.sending->data() + c.offset, c.sending->size() - c.offset,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                c.offset += static_cast<size_t>(n);
                c.waiting = now;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (now - c.waiting > timeout) cut(c);
                return !c.cut;
            }
            cut(c);  // the client went away
            return false;
        }
        c.sending.reset();
        c.offset = 0;
        return true;
    }

    static void cut(Client& c) {
        if (c.cut) return;
        c.cut = true;
        c.sending.reset();
        ::shutdown(c.fd, SHUT_RDWR);
    }

    // Whether some client has part of an event still to take.
    bool backlogged() const {
        for (const Client& c : clients)
            if (!c.cut && c.sending) return true;
        return false;
    }

    void run() {
        pthread_setname_np(pthread_self(), "flowmesh-streams");  // as top and ps show it
        std::unique_lock<std::mutex> held(lock);
        while (!stopping) {
            Clock::time_point now = Clock::now();
            bool quiet = now - quiet_since >= keepalive;
            if (quiet) quiet_since = now;
            bool pending = false;
            for (Client& c : clients) {
                // An event written whole may have been followed by a newer one.
                bool kept_alive = false;
                while (!c.cut) {
                    if (!c.sending) {
                        if (c.seen != sequence && latest) {
                            c.sending = latest;
                            c.seen = sequence;
                        } else if (quiet && !kept_alive) {
                            c.sending = keepalive_event;
                            kept_alive = true;
                        } else {
                            break;
                        }
                        c.offset = 0;
                        c.waiting = now;
                    }
                    if (write_some(c, now) && c.sending) {
                        pending = true;
                        break;
                    }
                }
            }
            // A client that is behind is retried at a pace that costs nothing
            // noticeable; otherwise the thread sleeps until there is news.
            if (pending)
                wake.wait_for(held, std::chrono::milliseconds(20));
            else if (clients.empty())
                wake.wait(held);
            else
                wake.wait_until(
                    held, quiet_since + std::chrono::duration_cast<Clock::duration>(keepalive));
        }
    }
};

struct StreamsObject {
    PyObject_HEAD std::shared_ptr<Hub>* hub;  // null until __init__
    std::thread* writer;
};

StreamsObject* streams(PyObject* o) {
    return fm::as<StreamsObject>(o);
}

// The hub, unless this is a forked child: its writer did not come along, and
// the lock may have been held by it at the fork.
Hub* hub_of(PyObject* self) {
    std::shared_ptr<Hub>* hub = streams(self)->hub;
    if (!hub) {
        PyErr_SetString(PyExc_RuntimeError, "StreamsImp was not initialised");
        return nullptr;
    }
    if ((*hub)->owner != getpid()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "StreamsImp belongs to the process that forked this one");
        return nullptr;
    }
    return hub->get();
}

// Ends the writer thread and waits for it. Called with the GIL held; the
// writer never needs it.
void stop_writer(StreamsObject* s) {
    if (!s->writer) return;
    Hub& hub = **s->hub;
    {
        std::lock_guard<std::mutex> held(hub.lock);
        hub.stopping = true;
    }
    hub.wake.notify_all();
    if (s->writer->joinable()) s->writer->join();
    delete std::exchange(s->writer, nullptr);
}

double seconds_arg(PyObject* value, const char* name, double fallback) {
    if (!value) return fallback;
    double s = PyFloat_AsDouble(value);
    if (s == -1.0 && PyErr_Occurred()) return -1.0;
    if (!(s > 0) || s > 1e9) {
        PyErr_Format(PyExc_ValueError, "%s must be a number of seconds > 0", name);
        return -1.0;
    }
    return s;
}

int streams_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"keepalive", "timeout"};
    PyObject* a[] = {nullptr, nullptr};
    if (!fm::parse_args("StreamsImp", args, kwds, names, a, 0)) return -1;
    double keepalive = seconds_arg(a[0], "keepalive", 15.0);
    if (keepalive < 0) return -1;
    double timeout = seconds_arg(a[1], "timeout", 10.0);
    if (timeout < 0) return -1;
    fm::CriticalSection cs(self);  // two threads initialising it start one writer
    StreamsObject* s = streams(self);
    if (s->hub) {
        PyErr_SetString(PyExc_RuntimeError, "StreamsImp is initialised already");
        return -1;
    }
    try {
        auto hub = std::make_shared<Hub>();
        hub->keepalive = std::chrono::duration<double>(keepalive);
        hub->timeout = std::chrono::duration<double>(timeout);
        s->hub = new std::shared_ptr<Hub>(hub);
        s->writer = new std::thread([hub] { hub->run(); });
    } catch (const std::exception& e) {
        delete std::exchange(s->hub, nullptr);
        PyErr_Format(PyExc_RuntimeError, "cannot start the stream writer: %s", e.what());
        return -1;
    }
    return 0;
}

// add(fd, prefix): a new client on socket `fd`, sent `prefix` and then the
// newest event; its id, or None when the streams are closed.
PyObject* streams_add(PyObject* self, PyObject* fd_obj, PyObject* prefix) {
    Hub* hub = hub_of(self);
    if (!hub) return nullptr;
    int fd = PyObject_AsFileDescriptor(fd_obj);
    if (fd < 0) return nullptr;
    if (!PyBytes_Check(prefix))
        return PyErr_Format(PyExc_TypeError, "prefix must be bytes, not %s",
                            Py_TYPE(prefix)->tp_name);
    std::string first(PyBytes_AS_STRING(prefix), static_cast<size_t>(PyBytes_GET_SIZE(prefix)));
    std::lock_guard<std::mutex> held(hub->lock);
    if (hub->closed) Py_RETURN_NONE;
    if (hub->latest) first += *hub->latest;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
    int64_t id = hub->next_id++;
    try {
        hub->clients.push_back({.id = id,
                                .fd = own,
                                .sending = std::make_shared<const std::string>(std::move(first)),
                                .seen = hub->sequence,
                                .waiting = Clock::now()});
    } catch (const std::bad_alloc&) {
        ::close(own);
        return PyErr_NoMemory();
    }
    hub->wake.notify_all();
    return PyLong_FromLongLong(id);
}

// publish(event): the newest event, for every client.
PyObject* streams_publish(PyObject* self, PyObject* event) {
    Hub* hub = hub_of(self);
    if (!hub) return nullptr;
    if (!PyBytes_Check(event))
        return PyErr_Format(PyExc_TypeError, "event must be bytes, not %s",
                            Py_TYPE(event)->tp_name);
    Event copy;
    try {
        copy = std::make_shared<const std::string>(PyBytes_AS_STRING(event),
                                                   static_cast<size_t>(PyBytes_GET_SIZE(event)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    {
        std::lock_guard<std::mutex> held(hub->lock);
        hub->latest = std::move(copy);
        ++hub->sequence;
        hub->quiet_since = Clock::now();
    }
    hub->wake.notify_all();
    Py_RETURN_NONE;
}

// `f(hub, id)` under the hub's lock, for the client whose id Python gave.
template <typename F>
PyObject* with_client(PyObject* self, PyObject* id_obj, F f) {
    Hub* hub = hub_of(self);
    if (!hub) return nullptr;
    int64_t id = PyLong_AsLongLong(id_obj);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::lock_guard<std::mutex> held(hub->lock);
    return f(*hub, id);
}

// remove(id): forgets a client and closes its duplicate socket.
PyObject* streams_remove(PyObject* self, PyObject* id_obj) {
    return with_client(self, id_obj, [](Hub& hub, int64_t id) {
        for (auto it = hub.clients.begin(); it != hub.clients.end(); ++it) {
            if (it->id == id) {
                ::close(it->fd);
                hub.clients.erase(it);
                break;
            }
        }
        Py_RETURN_NONE;
    });
}

// is_open(id): whether the client is still written to (not cut off, not removed).
PyObject* streams_is_open(PyObject* self, PyObject* id_obj) {
    return with_client(self, id_obj, [](Hub& hub, int64_t id) {
        for (const Client& c : hub.clients)
            if (c.id == id) return PyBool_FromLong(!c.cut);
        Py_RETURN_FALSE;
    });
}

// close(): takes no more clients; what was published goes on being written.
PyObject* streams_close(PyObject* self, PyObject* /*unused*/) {
    Hub* hub = hub_of(self);
    if (!hub) return nullptr;
    std::lock_guard<std::mutex> held(hub->lock);
    hub->closed = true;
    Py_RETURN_NONE;
}

// cut(): shuts every client's socket down, which ends the threads reading them.
PyObject* streams_cut(PyObject* self, PyObject* /*unused*/) {
    Hub* hub = hub_of(self);
    if (!hub) return nullptr;
    {
        std::lock_guard<std::mutex> held(hub->lock);
        for (Client& c : hub->clients) Hub::cut(c);
    }
    hub->wake.notify_all();
    Py_RETURN_NONE;
}

PyObject* streams_get_backlogged(PyObject* self, void* /*closure*/) {
    Hub* hub = hub_of(self);
    if (!hub) return nullptr;
    std::lock_guard<std::mutex> held(hub->lock);
    // The newest event not yet taken by a client counts as owed to it.
    bool owed = hub->backlogged();
    for (const Client& c : hub->clients) owed |= !c.cut && hub->latest && c.seen != hub->sequence;
    return PyBool_FromLong(owed);
}

Py_ssize_t streams_len(PyObject* self) {
    Hub* hub = hub_of(self);
    if (!hub) return -1;
    std::lock_guard<std::mutex> held(hub->lock);
    return static_cast<Py_ssize_t>(hub->clients.size());
}

void streams_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    fm::CriticalSection cs(self);  // two threads initialising it start one writer
    StreamsObject* s = streams(self);
    if (s->hub && (*s->hub)->owner != getpid()) {
        // A forked child: its copy of the hub (and of a lock the writer may
        // have held) is left alone, and the thread object with it.
        s->hub = nullptr;
        s->writer = nullptr;
    }
    if (s->hub) {
        stop_writer(s);
        Hub& hub = **s->hub;
        {
            std::lock_guard<std::mutex> held(hub.lock);
            for (Client& c : hub.clients) ::close(c.fd);
            hub.clients.clear();
        }
        delete std::exchange(s->hub, nullptr);
    }
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef streams_methods[] = {
    fm::method_def<"add", streams_add, "fd", "prefix">(
        PyDoc_STR("add(fd, prefix)\n--\n\nA new client on socket `fd` (an int or an object with "
                  "fileno()), sent `prefix` and then the newest event; its id, or None once "
                  "closed.")),
    {"publish", streams_publish, METH_O,
     PyDoc_STR("publish(event)\n--\n\nThe newest event (bytes), for every client; returns at "
               "once.")},
    {"remove", streams_remove, METH_O,
     PyDoc_STR("remove(id)\n--\n\nForget client `id` and close its copy of the socket.")},
    {"is_open", streams_is_open, METH_O,
     PyDoc_STR("is_open(id)\n--\n\nWhether client `id` is still written to.")},
    {"close", streams_close, METH_NOARGS,
     PyDoc_STR("close()\n--\n\nTake no more clients; what was published is still written.")},
    {"cut", streams_cut, METH_NOARGS, PyDoc_STR("cut()\n--\n\nShut every client's socket down.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef streams_getset[] = {
    {"backlogged", streams_get_backlogged, nullptr,
     PyDoc_STR("Whether some client has not yet taken the newest event whole."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot streams_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("StreamsImp(keepalive=15.0, timeout=10.0)\n--\n\nEvent streams to many "
                       "clients, written by a thread that runs no Python: each client gets the "
                       "newest event, a comment after `keepalive` quiet seconds, and is cut off "
                       "after `timeout` seconds of taking nothing.")},
    {Py_tp_init, reinterpret_cast<void*>(streams_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(streams_dealloc)},
    {Py_tp_methods, streams_methods},
    {Py_tp_getset, streams_getset},
    {Py_sq_length, reinterpret_cast<void*>(streams_len)},
    {0, nullptr},
};

}  // namespace

// It holds no Python object, so the collector has nothing to follow.
PyType_Spec streams_spec = {
    .name = "flowmesh.imp.StreamsImp",
    .basicsize = sizeof(StreamsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = streams_slots,
};

}  // namespace fm::ports
