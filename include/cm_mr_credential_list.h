// CM_MRCredentialList: an ordered, growable array of CM_MRCredential values, the container in
// which the store hands out all stored logins. Owns its elements; operator[] returns a reference
// valid until the next growth or clear. Capacity grows 32, 64, 128, ... and never shrinks except
// by clear. Exported for programs that link libcmmrv1_0.so. No method throws: the mutators return
// 0 on success, 1072 for a position out of range and 1001 when memory runs out.
#ifndef CM_MR_CREDENTIAL_LIST_H
#define CM_MR_CREDENTIAL_LIST_H

#include <cstdint>

#include "cm_export.h"
#include "cm_mr_credential.h"

class CM_EXPORT CM_MRCredentialList {
 public:
  CM_MRCredentialList();
  // count empty credentials.
  explicit CM_MRCredentialList(uint32_t count);
  CM_MRCredentialList(const CM_MRCredentialList& other);
  CM_MRCredentialList& operator=(const CM_MRCredentialList& other);
  ~CM_MRCredentialList();

  uint32_t length() const;
  // 1 when the list holds no credential, else 0.
  int is_empty() const;
  // Slots allocated (all hold constructed credentials).
  uint32_t capacity() const;

  // index must be below length(); not checked.
  CM_MRCredential& operator[](uint32_t index);
  const CM_MRCredential& operator[](uint32_t index) const;

  // position at most length(); the later elements move up one slot.
  int insert(const CM_MRCredential& credential, uint32_t position);
  int append(const CM_MRCredential& credential);
  int prepend(const CM_MRCredential& credential);
  // index below length(); the later elements move down one slot, keeping their order.
  int remove(uint32_t index);
  // Index of the first element equal by CM_MRCredential::operator==, or -1.
  int find(const CM_MRCredential& credential) const;

  // 1 when both lists hold pairwise equal credentials in the same order, else 0.
  int operator==(const CM_MRCredentialList& other) const;
  int operator!=(const CM_MRCredentialList& other) const;

  void clear();

 protected:
  // Grows the storage to hold at least needed credentials. 0, or 1001 when memory runs out.
  int ensure_room(uint32_t needed);

 private:
  CM_MRCredential* m_items;
  uint32_t m_length;
  uint32_t m_capacity;
};

#endif
