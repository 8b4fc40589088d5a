// ls.cpp - the list library: doubly linked lists of fixed-size records.
//
// Each element is one block from the library's allocation path: a link
// header followed by the record, whose address is the element's handle.
// The header keeps a pointer back to its list, so LS_Release needs only the
// element. Lists are not locked: each belongs to one owner (a context stack,
// a loader state, a registry).
#include "ls.h"

#include <cstring>

#include "alloc.h"

struct LS_ListRec {
    uint32_t size;        // bytes per record
    uint32_t count;       // elements listed
    struct Link *head;    // first element
    struct Link *tail;    // last element
    LS_Callback on_leave; // event 2: a record leaves the list
};

struct Link {
    Link *prev, *next;
    LS_ListRec *list;
    // keeps the record that follows suitably aligned for any field type
    alignas(alignof(max_align_t)) unsigned char record[1];
};

namespace {

Link *link_of(void *record) noexcept {
    return reinterpret_cast<Link *>(static_cast<unsigned char *>(record) - offsetof(Link, record));
}

void unlink(Link *e) noexcept {
    LS_ListRec *l = e->list;
    if (e->prev) e->prev->next = e->next;
    else l->head = e->next;
    if (e->next) e->next->prev = e->prev;
    else l->tail = e->prev;
    --l->count;
}

void release(Link *e) noexcept {
    if (e->list->on_leave) e->list->on_leave(e->list, e->record);
    unlink(e);
    cfg_mem_free(e);
}

}  // namespace

extern "C" {

CFG_API LS_List LS_CreateList(uint32_t size, int flags) noexcept {
    (void)flags;
    auto *l = static_cast<LS_ListRec *>(cfg_mem_calloc(1, sizeof(LS_ListRec)));
    if (l) l->size = size;
    return l;
}

CFG_API void *LS_Add(LS_List list, int where, int front, const void *record, int count) noexcept {
    (void)where;
    (void)count;
    if (!list || !record) return nullptr;
    auto *e = static_cast<Link *>(cfg_mem_alloc(offsetof(Link, record) + (list->size ? list->size : 1)));
    if (!e) return nullptr;
    std::memcpy(e->record, record, list->size);
    e->list = list;
    if (front) {
        e->prev = nullptr;
        e->next = list->head;
        if (list->head) list->head->prev = e;
        else list->tail = e;
        list->head = e;
    } else {
        e->next = nullptr;
        e->prev = list->tail;
        if (list->tail) list->tail->next = e;
        else list->head = e;
        list->tail = e;
    }
    ++list->count;
    return e->record;
}

CFG_API void *LS_Next(LS_List list, void *element, int unused, int forward) noexcept {
    (void)unused;
    (void)forward;
    if (list) return list->head ? list->head->record : nullptr;
    if (!element) return nullptr;
    Link *next = link_of(element)->next;
    return next ? next->record : nullptr;
}

CFG_API int LS_Release(void *element, int how) noexcept {
    (void)how;
    if (!element) return 0;
    release(link_of(element));
    return 1;
}

CFG_API uint32_t LS_ListSize(LS_List list, int unused) noexcept {
    (void)unused;
    return list ? list->count : 0;
}

CFG_API int LS_SetCallback(LS_List list, int event, LS_Callback fn) noexcept {
    if (!list || event != 2) return 0;
    list->on_leave = fn;
    return 1;
}

CFG_API int LS_EmptyList(LS_List list, int *flag) noexcept {
    if (!list) return 0;
    while (list->head) release(list->head);
    if (flag) *flag = 0;
    return 1;
}

CFG_API int LS_DestroyList(LS_List list) noexcept {
    if (!list) return 0;
    while (list->head) release(list->head);
    cfg_mem_free(list);
    return 1;
}

}  // extern "C"
