#ifndef PDB_CONVERT_SHARDS_H_
#define PDB_CONVERT_SHARDS_H_

#include <string>

#include "workers.h"

// Whether this build reads tar shards.
bool reads_shards();

// Reads shard, a tar archive, plain or compressed, or standard input for
// "-", and hands each member that is no directory to take, as a conversion
// whose input is "<shard>:<member>" and whose path is the member's name: a
// file's bytes in its descriptor, a hard link's target in copy_of, and any
// other member with refusal set to why it is not converted. A member cut
// short, and a damaged shard, are failure lines; a stop signal stops the
// reading.
void read_shard(const std::string& shard,
                void (*take)(conversion& member, const char* refusal));

#endif  // PDB_CONVERT_SHARDS_H_
