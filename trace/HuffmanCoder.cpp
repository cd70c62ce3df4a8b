// HuffmanCoder.cpp - code assignment by the sorted-count split, and the bit writer.
//
// The frequency model sorts byte values by count as they are counted (a
// value that reaches a count first stays ahead of values that reach it
// later); the cumulative counts are summed once afterwards rather than on
// every byte, which gives the same table at a fraction of the cost.
#include "trace/HuffmanCoder.h"

#include "platform/base/errors.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// --- CBitBuffer ---

CHuffmanBase::CBitBuffer::CBitBuffer(BYTE* destination, std::size_t capacity)
    : m_out(destination), m_capacity(capacity) {}
CHuffmanBase::CBitBuffer::CBitBuffer() : m_out(nullptr), m_capacity(0) {}

bool CHuffmanBase::CBitBuffer::PutByte(BYTE b) {
  if (m_out == nullptr) {
    if (m_used % 4096 == 0) m_chunks.emplace_back(new BYTE[4096]);
    m_chunks.back()[m_used % 4096] = b;
    ++m_used;
    return true;
  }
  if (m_used >= m_capacity) {
    m_overflow = true;
    return false;
  }
  m_out[m_used++] = b;
  return true;
}

bool CHuffmanBase::CBitBuffer::Write(ULONGLONG value, unsigned count) {
  while (count > 0) {
    const unsigned take = std::min(count, 32u);
    const ULONGLONG part = take == 64 ? value : (value & ((1ULL << take) - 1));
    m_acc |= part << m_bits;
    m_bits += take;
    value = take >= 64 ? 0 : value >> take;
    count -= take;
    while (m_bits >= 8) {
      if (!PutByte(static_cast<BYTE>(m_acc))) return false;
      m_acc >>= 8;
      m_bits -= 8;
    }
  }
  return !m_overflow;
}

std::size_t CHuffmanBase::CBitBuffer::Flush() {
  if (m_bits > 0) PutByte(static_cast<BYTE>(m_acc));
  m_acc = 0;
  m_bits = 0;
  return m_used;
}

std::vector<BYTE> CHuffmanBase::CBitBuffer::TakeChunks() {
  std::vector<BYTE> out;
  out.reserve(m_used);
  for (std::size_t i = 0; i < m_chunks.size(); ++i)
    out.insert(out.end(), m_chunks[i].get(), m_chunks[i].get() + std::min<std::size_t>(4096, m_used - 4096 * i));
  m_chunks.clear();
  m_used = 0;
  return out;
}

// --- CHuffmanCoder ---

class CHuffmanCoder::CRep {
 public:
  virtual ~CRep() = default;
  std::atomic<long> m_refs{1};
  // The frequency model.
  DWORD m_freq[258];
  DWORD m_cumFreq[258];
  int m_charToIndex[256];
  int m_indexToChar[257];
  int m_maxIndex = 0;
  Code m_codes[256];
  DWORD m_width = 0;
  DWORD m_compressedSize = 0;
  DWORD m_longest = 0;
  // Working space of Order, reused from block to block.
  std::unique_ptr<DWORD[]> m_occ;
  std::size_t m_occCapacity = 0;
  std::unique_ptr<DWORD[]> m_events;
  std::size_t m_eventCapacity = 0;

  // Sorts the byte values as the adaptive frequency model would after
  // counting the bytes: m_freq, m_indexToChar, m_charToIndex, m_maxIndex.
  void Order(const BYTE* bytes, DWORD length);

  void Assign(int lo, int hi, DWORD depth, ULONGLONG code);
};

void CHuffmanCoder::CRep::Assign(int lo, int hi, DWORD depth, ULONGLONG code) {
  if (lo == hi) {
    m_codes[m_indexToChar[lo]] = {depth, code};
    return;
  }
  if (hi == lo + 1) {
    m_codes[m_indexToChar[lo]] = {depth + 1, code};
    m_codes[m_indexToChar[hi]] = {depth + 1, code | (1ULL << depth)};
    return;
  }
  const DWORD target = m_cumFreq[hi] + (m_cumFreq[lo] - m_cumFreq[hi]) / 2;
  int left = lo, right = hi;
  int mid = left + (right - left) / 2;
  while (right - left > 1) {
    if (m_cumFreq[mid] > target)
      left = mid;
    else if (m_cumFreq[mid] < target)
      right = mid;
    else
      break;
    mid = left + (right - left) / 2;
  }
  Assign(lo, mid, depth + 1, code);
  Assign(mid + 1, hi, depth + 1, code | (1ULL << depth));
}

CHuffmanCoder::CHuffmanCoder() : m_rep(new CRep) {
  std::memset(m_rep->m_codes, 0, sizeof m_rep->m_codes);
}
CHuffmanCoder::CHuffmanCoder(const CHuffmanCoder& other) : m_rep(other.m_rep) {
  m_rep->m_refs.fetch_add(1, std::memory_order_relaxed);
}
CHuffmanCoder& CHuffmanCoder::operator=(CHuffmanCoder other) noexcept {
  std::swap(m_rep, other.m_rep);
  return *this;
}
CHuffmanCoder::~CHuffmanCoder() {
  if (m_rep != nullptr && m_rep->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_rep;
}

// The model's order, reached without replaying it byte by byte. The model
// keeps freq[] non-increasing, so the values of one count form a run; a value
// counted trades places with the front of its run and then joins the end of
// the next run. So a run's order depends only on the joins and departures of
// its own count: the run of a count held by one value at the end needs no
// history, and only the runs that end with two or more values (ties) are
// replayed, from each byte's running count recorded in one counting pass.
void CHuffmanCoder::CRep::Order(const BYTE* bytes, DWORD length) {
  // Pass 1: counts, and each byte's count before it.
  DWORD count[256] = {};
  if (m_occCapacity < length) {
    m_occ.reset(new DWORD[length]);
    m_occCapacity = length;
  }
  DWORD* const occ = m_occ.get();
  for (DWORD n = 0; n < length; ++n) occ[n] = count[bytes[n]]++;

  // The values that occur, the most frequent first; runs of equal counts.
  ULONGLONG sorted[256];
  int distinct = 0;
  DWORD maxCount = 0;
  for (int c = 0; c < 256; ++c)
    if (count[c] != 0) {
      sorted[distinct++] = (static_cast<ULONGLONG>(count[c]) << 8) | static_cast<ULONGLONG>(c);
      maxCount = std::max(maxCount, count[c]);
    }
  std::sort(sorted, sorted + distinct, [](ULONGLONG a, ULONGLONG b) { return a > b; });

  // Per count: whether a byte of that running count joins (count + 1) or
  // leaves (count) a tied run, and which.
  struct Event {
    BYTE mask;
    BYTE leave;
    BYTE join;
    BYTE unused;
  };
  constexpr BYTE kJoin = 1, kLeave = 2;
  if (m_eventCapacity < static_cast<std::size_t>(maxCount) + 1) {
    m_events.reset(new DWORD[static_cast<std::size_t>(maxCount) + 1]);
    m_eventCapacity = static_cast<std::size_t>(maxCount) + 1;
  }
  static_assert(sizeof(Event) == sizeof(DWORD));
  Event* const events = reinterpret_cast<Event*>(m_events.get());
  std::memset(events, 0, sizeof(Event) * (static_cast<std::size_t>(maxCount) + 1));

  struct Run {
    DWORD head;
    DWORD tail;
  };
  Run runs[128];
  int tied = 0;
  DWORD slotsNeeded = 0;
  for (int s = 0; s < distinct;) {
    int e = s + 1;
    while (e < distinct && (sorted[e] >> 8) == (sorted[s] >> 8)) ++e;
    if (e - s >= 2) {
      const DWORD k = static_cast<DWORD>(sorted[s] >> 8);
      // Every value that ever reaches k joins the run once.
      runs[tied] = {slotsNeeded, slotsNeeded};
      slotsNeeded += static_cast<DWORD>(e);
      events[k - 1].mask |= kJoin;
      events[k - 1].join = static_cast<BYTE>(tied);
      events[k].mask |= kLeave;
      events[k].leave = static_cast<BYTE>(tied);
      ++tied;
    }
    s = e;
  }

  // Pass 2: replay the tied runs only. The bytes that join or leave one are
  // first gathered without a branch (over occ, which is read ahead of the
  // writes), each as its event with the byte value in the spare top byte.
  BYTE slots[128 * 256];
  DWORD place[256];
  if (tied > 0) {
    const DWORD* const table = m_events.get();
    DWORD gathered = 0;
    for (DWORD n = 0; n < length; ++n) {
      const DWORD ev = table[occ[n]];
      occ[gathered] = ev | (static_cast<DWORD>(bytes[n]) << 24);
      gathered += ev != 0 ? 1 : 0;
    }
    for (DWORD g = 0; g < gathered; ++g) {
      const DWORD ev = occ[g];
      const BYTE c = static_cast<BYTE>(ev >> 24);
      if (ev & kLeave) {
        Run& run = runs[(ev >> 8) & 0xFF];
        const DWORD at = place[c];
        if (at != run.head) {
          const BYTE front = slots[run.head];
          slots[at] = front;
          place[front] = at;
        }
        ++run.head;
      }
      if (ev & kJoin) {
        Run& run = runs[(ev >> 16) & 0xFF];
        slots[run.tail] = c;
        place[c] = run.tail++;
      }
    }
  }

  // The model's tables: index 1.. in that order, freq = count + 1.
  int index = 1;
  int run = 0;
  for (int s = 0; s < distinct;) {
    int e = s + 1;
    while (e < distinct && (sorted[e] >> 8) == (sorted[s] >> 8)) ++e;
    const DWORD k = static_cast<DWORD>(sorted[s] >> 8);
    if (e - s == 1) {
      m_indexToChar[index] = static_cast<int>(sorted[s] & 0xFF);
      m_freq[index++] = k + 1;
    } else {
      const Run& r = runs[run++];
      for (DWORD at = r.head; at < r.tail; ++at) {
        m_indexToChar[index] = slots[at];
        m_freq[index++] = k + 1;
      }
    }
    s = e;
  }
  m_maxIndex = distinct;
  for (int c = 0; c < 256; ++c)
    if (count[c] == 0) m_indexToChar[index++] = c;
  for (int i = 1; i <= 256; ++i) {
    m_charToIndex[m_indexToChar[i]] = i;
    if (i > distinct) m_freq[i] = 1;
  }
  m_freq[0] = 0;
  m_freq[257] = 1;
}

void CHuffmanCoder::BuildCodes(const BYTE* bytes, DWORD length) {
  CRep& r = *m_rep;
  r.Order(bytes, length);
  // cum_freq[k] = sum of freq[j] for j > k.
  r.m_cumFreq[257] = 0;
  for (int k = 256; k >= 0; --k) r.m_cumFreq[k] = r.m_cumFreq[k + 1] + r.m_freq[k + 1];

  std::memset(r.m_codes, 0, sizeof r.m_codes);
  if (r.m_maxIndex == 1)
    r.m_codes[r.m_indexToChar[1]] = {1, 0};  // one value still needs a bit to decode
  else if (r.m_maxIndex > 1)
    r.Assign(1, r.m_maxIndex, 0, 0);

  DWORD longest = 0;
  ULONGLONG bits = 8 + 32;
  for (int c = 0; c < 256; ++c) {
    longest = std::max(longest, r.m_codes[c].length);
    bits += r.m_codes[c].length;
  }
  for (int i = 1; i <= r.m_maxIndex; ++i) {
    const int c = r.m_indexToChar[i];
    bits += static_cast<ULONGLONG>(r.m_codes[c].length) * (r.m_freq[i] - 1);
  }
  r.m_width = 0;
  while ((longest >> r.m_width) != 0) ++r.m_width;
  bits += 256ULL * r.m_width;
  r.m_compressedSize = static_cast<DWORD>((bits + 7) / 8);
  r.m_longest = longest;
}

namespace {

// The encoder's bit writer: a 64-bit accumulator stored 8 bytes at a time
// while at least 8 bytes of room are left, then byte by byte. Bits go least
// significant first, as CBitBuffer writes them.
class FastBits {
 public:
  FastBits(BYTE* out, std::size_t capacity) : m_out(out), m_end(out + capacity) {}

  // count <= 56 and value < 2^count.
  void Put(ULONGLONG value, unsigned count) {
    m_acc |= value << m_bits;
    m_bits += count;
    Flush();
  }
  // Writes the whole bytes of the accumulator.
  void Flush() {
    if (m_end - m_out >= 8) {
      std::memcpy(m_out, &m_acc, 8);  // little-endian: the low byte first
      const unsigned whole = m_bits & ~7u;
      m_out += whole >> 3;
      m_acc = whole == 64 ? 0 : m_acc >> whole;
      m_bits &= 7;
    } else {
      while (m_bits >= 8 && m_out < m_end) {
        *m_out++ = static_cast<BYTE>(m_acc);
        m_acc >>= 8;
        m_bits -= 8;
      }
    }
  }
  // N codes from the table (code << 6 | length) whose lengths add up to at
  // most 57 bits, with one store.
  template <unsigned N>
  void PutSeveral(const ULONGLONG* table, const BYTE* at) {
    ULONGLONG acc = m_acc;
    unsigned bits = m_bits;
    for (unsigned k = 0; k < N; ++k) {
      const ULONGLONG entry = table[at[k]];
      acc |= (entry >> 6) << bits;
      bits += static_cast<unsigned>(entry & 63);
    }
    m_acc = acc;
    m_bits = bits;
    Flush();
  }
  // Any count <= 64, in pieces the fast path takes.
  void PutLong(ULONGLONG value, unsigned count) {
    while (count > 32) {
      Put(value & 0xFFFFFFFFu, 32);
      value >>= 32;
      count -= 32;
    }
    Put(count == 0 ? 0 : value & (~0ULL >> (64 - count)), count);
  }
  // Pads the last byte with zero bits; returns the end of the output.
  BYTE* Finish() {
    while (m_bits > 0 && m_out < m_end) {
      *m_out++ = static_cast<BYTE>(m_acc);
      m_acc >>= 8;
      m_bits = m_bits >= 8 ? m_bits - 8 : 0;
    }
    return m_out;
  }

 private:
  BYTE* m_out;
  BYTE* const m_end;
  ULONGLONG m_acc = 0;
  unsigned m_bits = 0;  // pending bits in m_acc, < 8 between calls while room lasts
};

}  // namespace

bool CHuffmanCoder::Encode(const BYTE* bytes, DWORD length, BYTE* destination, std::size_t capacity) const {
  const CRep& r = *m_rep;
  if (capacity < r.m_compressedSize) return false;
  // Exactly the block's bytes: nothing past it is touched.
  FastBits out(destination, r.m_compressedSize);
  out.Put(r.m_width, 8);
  for (int c = 0; c < 256; ++c) {
    out.Put(r.m_codes[c].length, r.m_width);
    out.PutLong(r.m_codes[c].code, r.m_codes[c].length);
  }
  out.Put(length, 32);
  if (r.m_longest <= 56) {
    // One table of the codes as they are put: the length in the low 6 bits,
    // the code above (codes of up to 56 bits fit).
    ULONGLONG table[256];
    for (int c = 0; c < 256; ++c) table[c] = (r.m_codes[c].code << 6) | r.m_codes[c].length;
    DWORD n = 0;
    // Short codes: as many to one store as 7 pending bits leave room for.
    const unsigned group = r.m_longest <= 14 ? 4 : r.m_longest <= 19 ? 3 : r.m_longest <= 28 ? 2 : 1;
    if (group == 4) {
      for (; n + 4 <= length; n += 4) out.PutSeveral<4>(table, bytes + n);
    } else if (group == 3) {
      for (; n + 3 <= length; n += 3) out.PutSeveral<3>(table, bytes + n);
    } else if (group == 2) {
      for (; n + 2 <= length; n += 2) out.PutSeveral<2>(table, bytes + n);
    }
    for (; n < length; ++n) out.Put(table[bytes[n]] >> 6, table[bytes[n]] & 63);
  } else {
    for (DWORD n = 0; n < length; ++n) out.PutLong(r.m_codes[bytes[n]].code, r.m_codes[bytes[n]].length);
  }
  return out.Finish() == destination + r.m_compressedSize;
}

const CHuffmanCoder::Code* CHuffmanCoder::GetCodes() const { return m_rep->m_codes; }
DWORD CHuffmanCoder::GetWidth() const { return m_rep->m_width; }
DWORD CHuffmanCoder::GetCompressedSize() const { return m_rep->m_compressedSize; }

// --- Decoding ---

namespace {

// Reads bits least significant first, as CBitBuffer writes them.
class BitReader {
 public:
  BitReader(const BYTE* data, std::size_t size) : m_data(data), m_bits(size * 8) {}
  bool Read(unsigned count, ULONGLONG& value) {
    if (count > m_bits - m_at) return false;
    value = 0;
    for (unsigned k = 0; k < count; ++k, ++m_at)
      value |= static_cast<ULONGLONG>((m_data[m_at / 8] >> (m_at % 8)) & 1) << k;
    return true;
  }
  bool ReadBit(unsigned& bit) {
    if (m_at == m_bits) return false;
    bit = (m_data[m_at / 8] >> (m_at % 8)) & 1;
    ++m_at;
    return true;
  }
  std::size_t BytesUsed() const { return (m_at + 7) / 8; }

 private:
  const BYTE* m_data;
  std::size_t m_bits;
  std::size_t m_at = 0;
};

// The code table as a binary trie: node 0 is the root; a leaf holds its byte.
class CodeTrie {
 public:
  CodeTrie() { m_nodes.push_back(Node{}); }
  // False when the code would be a prefix of another code or extend one.
  bool Insert(ULONGLONG code, unsigned length, BYTE value) {
    std::size_t at = 0;
    for (unsigned k = 0; k < length; ++k) {
      if (m_nodes[at].leaf) return false;
      const unsigned branch = (code >> k) & 1;
      if (m_nodes[at].child[branch] == 0) {
        m_nodes[at].child[branch] = static_cast<std::uint32_t>(m_nodes.size());
        m_nodes.push_back(Node{});
      }
      at = m_nodes[at].child[branch];
    }
    if (m_nodes[at].leaf || m_nodes[at].child[0] != 0 || m_nodes[at].child[1] != 0) return false;
    m_nodes[at].leaf = true;
    m_nodes[at].value = value;
    return true;
  }
  bool Next(BitReader& bits, BYTE& value) const {
    std::size_t at = 0;
    while (!m_nodes[at].leaf) {
      unsigned bit = 0;
      if (!bits.ReadBit(bit) || m_nodes[at].child[bit] == 0) return false;
      at = m_nodes[at].child[bit];
    }
    value = m_nodes[at].value;
    return true;
  }

 private:
  struct Node {
    std::uint32_t child[2] = {0, 0};
    bool leaf = false;
    BYTE value = 0;
  };
  std::vector<Node> m_nodes;
};

}  // namespace

DWORD CHuffmanCoder::Decode(const BYTE* data, std::size_t size, std::size_t maxBytes, std::vector<BYTE>& out,
                            std::size_t& used) {
  constexpr unsigned kMaxCodeLength = 64;  // codes are written from a 64-bit word
  BitReader bits(data, size);
  ULONGLONG width = 0;
  if (!bits.Read(8, width) || width > 7) return ERROR_INVALID_DATA;
  CodeTrie trie;
  bool any = false;
  for (unsigned value = 0; value < 256; ++value) {
    ULONGLONG length = 0, code = 0;
    if (!bits.Read(static_cast<unsigned>(width), length) || length > kMaxCodeLength) return ERROR_INVALID_DATA;
    if (length == 0) continue;
    if (!bits.Read(static_cast<unsigned>(length), code) ||
        !trie.Insert(code, static_cast<unsigned>(length), static_cast<BYTE>(value)))
      return ERROR_INVALID_DATA;
    any = true;
  }
  ULONGLONG count = 0;
  if (!bits.Read(32, count) || count > maxBytes || (count > 0 && !any)) return ERROR_INVALID_DATA;
  out.resize(static_cast<std::size_t>(count));
  for (auto& byte : out)
    if (!trie.Next(bits, byte)) return ERROR_INVALID_DATA;
  used = bits.BytesUsed();
  return ERROR_SUCCESS;
}
