// The diagnostic trace: one file per process under the product log folder, filtered by level and
// subsystem tag. CM_Trace is process-wide static state (no locking: the host calls one operation at
// a time); CM_TraceScope writes a method's entry and exit lines and its detail lines.
#ifndef CM_PROVIDER_CM_TRACE_H
#define CM_PROVIDER_CM_TRACE_H

#include <initializer_list>

class CM_TraceScope;

class CM_Trace {
 public:
  // Builds and stores the trace file path for user `name` (may be null or empty) and process `pid`;
  // creates the folder. Does not open the file.
  static void set_file(const char* name, int pid);
  // Replaces the level and the colon-separated subsystem tag list (null: empty list).
  static void configure(const char* subsystems, int level);
  static void open();
  static int close();
  // Appends one finished line (inside a CM_TraceBatch: to the batch); opens the file on first use.
  static void write_line(const char* line);
  // A newly allocated (malloc) line, or null when memory is short. The caller frees it.
  static char* format_line(const CM_TraceScope* scope, const char* method, const char* text);

  // Inspection for tests and the provider.
  static const char* file_path();
  static int level();
  // Forgets path, handle, level and list (tests only).
  static void reset();
};

// While one lives (one entry operation), trace lines collect in memory and reach the file in
// writes of about 64 KiB; the rest is written when the outermost batch ends or the file closes.
class CM_TraceBatch {
 public:
  CM_TraceBatch();
  ~CM_TraceBatch();
  CM_TraceBatch(const CM_TraceBatch&) = delete;
  CM_TraceBatch& operator=(const CM_TraceBatch&) = delete;
};

// While one lives (a method that writes thousands of lines at once), 64 lines in a row share one
// reading of the clock, read again after every write to the file: a stamp is then a few
// microseconds old at most, far under the millisecond it shows.
class CM_TraceBurst {
 public:
  CM_TraceBurst();
  ~CM_TraceBurst();
  CM_TraceBurst(const CM_TraceBurst&) = delete;
  CM_TraceBurst& operator=(const CM_TraceBurst&) = delete;
};

// The names given to a scope are kept as pointers and must not change while the scope lives.
class CM_TraceScope {
 public:
  CM_TraceScope(const char* tag, const char* class_name, const char* method);
  CM_TraceScope(const char* tag, const char* class_name);
  ~CM_TraceScope();
  CM_TraceScope(const CM_TraceScope&) = delete;
  CM_TraceScope& operator=(const CM_TraceScope&) = delete;

  bool is_enabled(int level) const;
  void print(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  void print_always(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  // print_always of the pieces joined (null pieces are empty), for lines written by the
  // thousand where printf would cost more than the rest of the line.
  void print_always_joined(std::initializer_list<const char*> pieces) const;
  void print_as(const char* method, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));

  const char* tag() const { return m_tag; }
  const char* class_name() const { return m_class; }
  const char* method() const { return m_method; }

 private:
  // Writes one line under `method`; `put_text(dst)` writes its text and returns the length.
  template <typename PutText>
  void emit(const char* method, PutText put_text) const;
  // Looks the tag up in the subsystem list and keeps the answer.
  bool look_up_tag() const;

  const char* m_tag;
  const char* m_class;
  const char* m_method;
  // "::TRACE::tag::class::method::" of the scope's own method, made at its first line (most
  // scopes write several) when it fits; m_prefix_len 0 until then.
  static const unsigned kPrefixCapacity = 96;
  mutable unsigned m_prefix_len = 0;
  // Whether the tag is in the subsystem list, as found under the list's configuration number
  // m_listed_for (0: not yet looked up); the list changes far less often than a scope writes.
  mutable unsigned m_listed_for = 0;
  mutable bool m_listed = false;
  mutable char m_prefix[kPrefixCapacity];
};

#endif
