// An ordinary C++ program: threads, atomics of every width, virtual calls,
// strings and an exception. It must print the same with and without vexa.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct shape {
  virtual ~shape() = default;
  virtual long area() const = 0;
  virtual std::string name() const = 0;
};

struct rectangle : shape {
  rectangle(long w, long h) : w(w), h(h) {}
  long area() const override { return w * h; }
  std::string name() const override { return "rectangle " + std::to_string(w) + "x" + std::to_string(h); }
  long w, h;
};

struct square : rectangle {
  explicit square(long side) : rectangle(side, side) {}
  std::string name() const override { return "square " + std::to_string(w); }
};

struct triangle : shape {
  triangle(long b, long h) : b(b), h(h) {}
  long area() const override {
    if (b % 2 != 0 && h % 2 != 0) throw std::domain_error("half a unit in " + name());
    return b * h / 2;
  }
  std::string name() const override { return "triangle " + std::to_string(b) + "/" + std::to_string(h); }
  long b, h;
};

struct totals {
  std::atomic<std::int64_t> area{0};
  std::atomic<std::int32_t> shapes{0};
  std::atomic<std::int16_t> odd{0};
  std::atomic<std::int8_t> bits{0};
  std::atomic<std::uint32_t> mask{0xffffffffu};
  std::atomic<long> largest{0};
  std::atomic<bool> saw_square{false};
  std::atomic<int> failures{0};
};

void measure(std::vector<std::unique_ptr<shape>> const& shapes, unsigned first, unsigned step, totals& t,
             std::string& names) {
  for (unsigned i = first; i < shapes.size(); i += step) {
    shape const& s = *shapes[i];
    long a;
    try {
      a = s.area();
    } catch (std::domain_error const&) {
      t.failures.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    t.area.fetch_add(a, std::memory_order_relaxed);
    t.shapes.fetch_add(1);
    if (a % 2 != 0) t.odd.fetch_add(1, std::memory_order_acq_rel);
    t.bits.fetch_xor(static_cast<std::int8_t>(1 << (i % 7)));
    t.mask.fetch_and(~(1u << (i % 32)), std::memory_order_release);
    long seen = t.largest.load(std::memory_order_acquire);
    while (a > seen && !t.largest.compare_exchange_weak(seen, a, std::memory_order_acq_rel)) {
    }
    if (dynamic_cast<square const*>(&s) != nullptr) t.saw_square.store(true, std::memory_order_release);
    names += s.name().substr(0, 3);
    names += ';';
  }
}

}  // namespace

int main() {
  std::vector<std::unique_ptr<shape>> shapes;
  for (long i = 1; i <= 40; ++i) {
    switch (i % 3) {
      case 0: shapes.push_back(std::make_unique<rectangle>(i, i + 1)); break;
      case 1: shapes.push_back(std::make_unique<square>(i)); break;
      default: shapes.push_back(std::make_unique<triangle>(i, i + 2)); break;
    }
  }

  totals t;
  unsigned const workers = 4;
  std::vector<std::string> names(workers);
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < workers; ++w)
    threads.emplace_back(measure, std::cref(shapes), w, workers, std::ref(t), std::ref(names[w]));
  for (std::thread& thread : threads) thread.join();
  std::atomic_thread_fence(std::memory_order_seq_cst);

  std::ostringstream out;
  out << "area " << t.area.load() << ", shapes " << t.shapes.load() << ", odd " << t.odd.load() << ", bits "
      << int(t.bits.load()) << ", mask " << std::hex << t.mask.exchange(0) << std::dec << ", largest "
      << t.largest.load() << ", square " << t.saw_square.load() << ", failures " << t.failures.load() << '\n';
  std::sort(names.begin(), names.end());
  for (std::string const& n : names) out << n.size() << ' ' << n << '\n';
  std::string text = out.str();
  std::fputs(text.c_str(), stdout);
  return 0;
}
