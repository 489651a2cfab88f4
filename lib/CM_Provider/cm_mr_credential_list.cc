#include "cm_mr_credential_list.h"

#include <new>

#include "CM_Provider/cm_status.h"

namespace {

const uint32_t kFirstCapacity = 32;

}  // namespace

CM_MRCredentialList::CM_MRCredentialList() : m_items(nullptr), m_length(0), m_capacity(0) {}

CM_MRCredentialList::CM_MRCredentialList(uint32_t count) : CM_MRCredentialList() {
  if (ensure_room(count) == 0) m_length = count;
}

CM_MRCredentialList::CM_MRCredentialList(const CM_MRCredentialList& other) : CM_MRCredentialList() {
  if (ensure_room(other.m_length) != 0) return;
  for (uint32_t i = 0; i < other.m_length; ++i) {
    if (append(other.m_items[i]) != 0) return;
  }
}

CM_MRCredentialList& CM_MRCredentialList::operator=(const CM_MRCredentialList& other) {
  if (this == &other) return *this;
  clear();
  if (ensure_room(other.m_length) != 0) return *this;
  for (uint32_t i = 0; i < other.m_length; ++i) {
    if (append(other.m_items[i]) != 0) break;
  }
  return *this;
}

CM_MRCredentialList::~CM_MRCredentialList() { clear(); }

uint32_t CM_MRCredentialList::length() const { return m_length; }
int CM_MRCredentialList::is_empty() const { return m_length == 0 ? 1 : 0; }
uint32_t CM_MRCredentialList::capacity() const { return m_capacity; }

CM_MRCredential& CM_MRCredentialList::operator[](uint32_t index) { return m_items[index]; }
const CM_MRCredential& CM_MRCredentialList::operator[](uint32_t index) const {
  return m_items[index];
}

int CM_MRCredentialList::insert(const CM_MRCredential& credential, uint32_t position) {
  if (position > m_length) return CM_LIST_OUT_OF_RANGE;
  try {
    // The credential may live inside this list; take it before the storage moves.
    CM_MRCredential copy(credential);  // NOLINT(performance-unnecessary-copy-initialization)
    int code = ensure_room(m_length + 1);
    if (code != 0) return code;
    ++m_length;
    for (uint32_t i = m_length - 1; i > position; --i) m_items[i] = m_items[i - 1];
    m_items[position] = copy;
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_LIST_NO_MEMORY;
  }
}

int CM_MRCredentialList::append(const CM_MRCredential& credential) {
  return insert(credential, m_length);
}

int CM_MRCredentialList::prepend(const CM_MRCredential& credential) {
  return insert(credential, 0);
}

int CM_MRCredentialList::remove(uint32_t index) {
  if (index >= m_length) return CM_LIST_OUT_OF_RANGE;
  try {
    m_items[index] = CM_MRCredential();
    for (uint32_t i = index; i + 1 < m_length; ++i) m_items[i] = m_items[i + 1];
    --m_length;
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_LIST_NO_MEMORY;
  }
}

int CM_MRCredentialList::find(const CM_MRCredential& credential) const {
  for (uint32_t i = 0; i < m_length; ++i) {
    if (m_items[i] == credential) return static_cast<int>(i);
  }
  return -1;
}

int CM_MRCredentialList::operator==(const CM_MRCredentialList& other) const {
  if (m_length != other.m_length) return 0;
  for (uint32_t i = 0; i < m_length; ++i) {
    if (!(m_items[i] == other.m_items[i])) return 0;
  }
  return 1;
}

int CM_MRCredentialList::operator!=(const CM_MRCredentialList& other) const {
  return *this == other ? 0 : 1;
}

void CM_MRCredentialList::clear() {
  delete[] m_items;
  m_items = nullptr;
  m_length = 0;
  m_capacity = 0;
}

int CM_MRCredentialList::ensure_room(uint32_t needed) {
  if (needed <= m_capacity) return 0;
  uint64_t wanted = kFirstCapacity;
  while (wanted < needed) wanted *= 2;
  if (wanted > UINT32_MAX) return CM_LIST_NO_MEMORY;
  CM_MRCredential* grown = new (std::nothrow) CM_MRCredential[wanted];
  if (!grown) return CM_LIST_NO_MEMORY;
  try {
    for (uint32_t i = 0; i < m_length; ++i) grown[i] = m_items[i];
  } catch (const std::bad_alloc&) {
    delete[] grown;
    return CM_LIST_NO_MEMORY;
  }
  delete[] m_items;
  m_items = grown;
  m_capacity = static_cast<uint32_t>(wanted);
  return 0;
}
