// Carries what a scanner rebuilds in a directory graph over into the results tree: it owns
// the graph of one scan, counts the records told to it and hands the placeable files out at
// the scanner's cadence, adds each file to the results tree, and keeps the stop request.
//
// The scanners differ in three ways that callers rely on, so these are rules and not code:
// how many pending records make a flush, what the results tree's stop answer does, and
// whether a stopped scan still hands out what the graph holds. The graph hands files to the
// scanner's own callbacks; they turn a payload into a file record and give it to Add.
#pragma once
#include <cstdint>

#include "graphfs/graphfs.h"

class IDevice;
class IFileInfo;
class IFileManager;

namespace GFS {

// The results tree's answer to one added file.
enum AddAnswer {
  kAnswerIgnored,   // the scan goes on, and so does the walk that handed the file out
  kAnswerEndsWalk,  // a stop answer ends the walk that handed the file out
  kAnswerEndsScan,  // a stop answer also stops the scan
};

// A stop that leaves the scan's result as it is.
const int kResultAsIs = INT32_MIN;

struct FeedRules {
  uint32_t flushAbove;  // a flush runs once more than this many records are pending
  AddAnswer addAnswer;
  bool handOverOnStop;  // false: a stopped scan hands out nothing more
  int stopResult;       // the scan's result once stopped, or kResultAsIs
};

// The release callback of graphs whose payloads are file records.
void ReleaseFileInfo(void* payload, void* user);

class CGraphFeeder {
 public:
  explicit CGraphFeeder(const FeedRules& rules);
  ~CGraphFeeder();  // releases a graph left behind with its payloads
  CGraphFeeder(const CGraphFeeder&) = delete;
  CGraphFeeder& operator=(const CGraphFeeder&) = delete;

  // A new empty graph for one scan (a previous one is released). flushFn hands files out
  // during the scan, finalFn (flushFn when null) at its end; user goes to every callback.
  // False when no graph could be had.
  bool Start(IFileManager* manager, FileFn flushFn, FileFn finalFn, ReleaseFn releaseFn, void* user,
             IDevice* device = nullptr);
  // The volume root "Volume" and the orphan folder "Lost Location" under it; before any record.
  void SetRoots(int64_t rootId, int64_t rootParentId);
  CGraphFileSystem* Graph() { return m_graph; }

  // One record more; true when a flush is due.
  bool Count();
  // Hands out what is placeable when due; the graph's result, or 0.
  int FlushIfDue();
  int Note();  // Count, then FlushIfDue
  int Flush();

  // A file record for the results tree (owned from here on, released when there is no tree);
  // the answer the graph walk gets under the rules.
  int Add(const char16_t* folderPath, IFileInfo* file);
  // A copy of a file-record payload, for Add.
  int AddClone(const char16_t* folderPath, void* payload);

  void Stop() { m_stopped = true; }
  bool Stopped() const { return m_stopped; }
  // rc, or the rules' stop result once stopped.
  int Result(int rc) const { return m_stopped && m_rules.stopResult != kResultAsIs ? m_rules.stopResult : rc; }

  // The final hand-over (as the rules say after a stop), then every payload is released and
  // the graph deleted. After a stop the hand-over runs to its end whatever the results tree
  // answers: the scan is over, so the answer has nothing left to stop.
  void Finish();
  // Every payload released and the graph deleted, nothing handed out.
  void Discard();

 private:
  FeedRules m_rules;
  CGraphFileSystem* m_graph;
  IFileManager* m_manager;
  FileFn m_flushFn;
  FileFn m_finalFn;
  ReleaseFn m_releaseFn;
  void* m_user;
  uint32_t m_pending;
  bool m_stopped;
  bool m_afterStop;  // the final hand-over of a stopped scan is running
};

}  // namespace GFS
