#include "fsmon/name_evidence_pool.h"

SharedNameEvidence gSharedNameEvidence;

size_t NoteNameSighting(NameEvidencePool& pool, uint64_t nameKey, uint64_t folderKey, int64_t now,
                        int64_t windowSeconds) {
    NameEvidencePool::NoteName* entry = nullptr;
    for (auto& n : pool.notes)
        if (n.name == nameKey) entry = &n;
    if (!entry) {
        if (pool.notes.size() >= kPoolNoteNamesLimit) pool.notes.pop_front();
        pool.notes.push_back(NameEvidencePool::NoteName());
        entry = &pool.notes.back();
        entry->name = nameKey;
        for (auto& slot : entry->folders) slot.time = INT64_MIN;
    }
    NameEvidencePool::Seen* target = nullptr;
    for (auto& slot : entry->folders)
        if (slot.time != INT64_MIN && slot.key == folderKey) target = &slot;
    if (!target) {
        target = &entry->folders[0];
        for (auto& slot : entry->folders)
            if (slot.time < target->time) target = &slot;
    }
    target->key = folderKey;
    target->time = now;
    size_t folders = 0;
    for (const auto& slot : entry->folders)
        if (slot.time != INT64_MIN && slot.time >= now - windowSeconds && slot.time <= now) ++folders;
    return folders;
}

MassRename NoteRenamedUserFile(NameEvidencePool& pool, uint64_t extensionKey, uint64_t originalKey,
                               int64_t now) {
    NameEvidencePool::RenameRun* run = nullptr;
    for (auto& r : pool.renames)
        if (r.extension == extensionKey) run = &r;
    if (run && (now - run->last > kMassRenameSeconds || now < run->last)) {
        // A quiet minute (or a clock gone back) ends the run.
        *run = NameEvidencePool::RenameRun();
        run->extension = extensionKey;
    }
    if (!run) {
        if (pool.renames.size() >= kMassRenameExtensions) pool.renames.pop_front();
        pool.renames.push_back(NameEvidencePool::RenameRun());
        run = &pool.renames.back();
        run->extension = extensionKey;
    }
    run->last = now;
    if (run->reportedAt != INT64_MIN) return MassRename::kReported;

    NameEvidencePool::Seen* target = nullptr;
    for (auto& slot : run->files)
        if (slot.key == originalKey && slot.time != 0) target = &slot;
    if (!target) {
        target = &run->files[0];
        for (auto& slot : run->files)
            if (slot.time < target->time) target = &slot;
    }
    target->key = originalKey;
    target->time = now;
    size_t files = 0;
    for (const auto& slot : run->files)
        if (slot.time != 0 && slot.time >= now - kMassRenameSeconds) ++files;
    if (files < kMassRenameFiles) return MassRename::kNone;
    run->reportedAt = now;
    return MassRename::kReport;
}

void NoteNameBack(NameEvidencePool& pool, uint64_t nameKey, int64_t now) {
    for (auto& run : pool.renames) {
        if (run.reportedAt != INT64_MIN) continue;  // reported: nothing takes the incident back
        for (auto& slot : run.files)
            if (slot.time != 0 && slot.key == nameKey && now - slot.time <= kRestoreSeconds) slot = {};
    }
}

int32_t MassRenameSeverity(int32_t configured) {
    return configured <= 0 ? kMassRenameDefaultSeverity : configured;
}
