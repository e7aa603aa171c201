// The control server: other programs (a lab's measurement scripts) drive the running
// program over a socket, beside the window and the session runner. It owns listening
// (`unix:PATH`, `tcp:[HOST:]PORT`), the connections and their bounds, and the control
// rules: who may act, who holds control, the token, and the switch with which the
// window's operator refuses remote control. What a line means is the handler's: the
// server hands it whole, checked lines and sends back what the handler answers.
//
// A connection sends one statement a line and gets its reply (zero or more lines, then
// one closing line) before its next line is handed on, so replies come in order. Events
// may be sent at any time between replies. Connection-level statements are answered
// here: `auth TOKEN`, `control take`, `control release`, `control`.
//
// Threads: the server has one I/O thread of its own (poll); every method may be called
// from any thread and none blocks on a socket. The handler is called on the I/O thread
// with no server lock held, and must not block.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vx::control {

// The longest line a client may send, in bytes (its newline not counted).
inline constexpr std::size_t kMaxLine = 64 * 1024;
// What may wait to be sent to one client before it is taken to read nothing and is
// dropped: replies and events it has not read.
inline constexpr std::size_t kMaxPending = 1024 * 1024;
// How many clients may be connected at once; one more is told so and closed.
inline constexpr int kMaxClients = 128;

using ClientId = std::uint64_t;

// An address to listen on, as given (`unix:PATH`, `tcp:PORT`, `tcp:HOST:PORT`).
struct Address {
  enum class Kind { Unix, Tcp } kind = Kind::Tcp;
  std::string path;              // unix
  std::string host = "127.0.0.1";  // tcp: a dotted IPv4 address
  int port = 0;                  // tcp: 0 lets the system choose
  bool loopback() const;
  std::string text() const;
};

// Reads an address; nothing with the reason in `error`.
std::optional<Address> parse_address(std::string_view text, std::string& error);
// Reads the value of a --listen option (nullptr: none followed it); nothing with the
// reason in `error`, which follows "--listen " in a program's message.
std::optional<Address> parse_listen(const char* value, std::string& error);

// The token in the file at `path`: its first line, one word. Nothing with the reason
// in `error` ("--token FILE: cannot open: ...", the name escaped).
std::optional<std::string> read_token(const char* path, std::string& error);

// Whether `text` is whole UTF-8 (no overlong forms, no surrogates).
bool valid_utf8(std::string_view text);

// One connected client, as the window lists it.
struct ClientInfo {
  ClientId id = 0;
  std::string peer;  // "unix" or "tcp:127.0.0.1:45678"
  bool holds_control = false;
};

class Handler {
 public:
  virtual ~Handler() = default;
  // A whole statement line (its newline and a trailing CR taken off, checked UTF-8, not
  // a connection-level statement). Answer it with Server::reply, from any thread.
  virtual void statement(ClientId client, std::string line) = 0;
  // The client has gone (closed, dropped, or the server stops).
  virtual void disconnected(ClientId client) {}
  // The clients or who holds control changed (for a front end that shows them).
  virtual void clients_changed() {}
};

struct Options {
  std::vector<Address> addresses;
  std::string token;  // empty: no auth; else clients send `auth TOKEN` first
  std::string program = "varnix";  // names the program in lines on standard error
};

class Server {
 public:
  Server(Options options, Handler& handler);
  // Stops (see stop()).
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens every address and starts the I/O thread. False with the reason in `error`
  // ("tcp:127.0.0.1:5025: address in use"); nothing is left open then.
  bool start(std::string& error);
  // The addresses as bound ("tcp:127.0.0.1:41234" for port 0).
  std::vector<std::string> bound() const;

  // Ends the statement of `client` with `text` (whole lines, the closing one included).
  void reply(ClientId client, std::string text);
  // Lines sent between replies (events).
  void event(ClientId client, std::string text);
  // Sends what is queued (bounded in real time), closes every client and the listeners,
  // removes Unix socket files and joins the I/O thread.
  void stop();

  // ---- the control rules
  // Why `client` may not act now, or nothing: it must hold control, and the window must
  // not refuse remote control.
  std::optional<std::string> may_act(ClientId client) const;
  // The window's switch: refuse every acting statement (control held stays held).
  void set_refused(bool refused);
  bool refused() const { return refused_.load(std::memory_order_acquire); }
  std::vector<ClientInfo> clients() const;

 private:
  struct Client;
  struct Listener;
  void io_main();
  void accept_from(Listener& l);
  void read_from(Client& c);
  void skip_overlong(Client& c);
  void handle_lines(Client& c, std::vector<std::pair<ClientId, std::string>>& out);
  std::optional<std::string> connection_statement(Client& c, std::string_view line);
  void queue_locked(Client& c, std::string text);
  void write_to(Client& c);
  void close_locked(Client& c, std::vector<ClientId>& gone);
  void wake();
  std::string holder_text_locked() const;

  Options options_;
  Handler& handler_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  mutable std::mutex mu_;  // clients_, holder_, stopping_
  std::vector<std::unique_ptr<Client>> clients_;
  ClientId holder_ = 0;
  ClientId next_id_ = 1;
  bool stopping_ = false;
  std::atomic<bool> refused_{false};
  int wake_fds_[2] = {-1, -1};
  std::thread io_;
};

}  // namespace vx::control
