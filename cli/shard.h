#pragma once

#include <QProcessEnvironment>
#include <QString>

// One part of a list of inputs split over many runs. Which part an input falls in depends only on
// its path below the root it was found in, so every machine and every rerun splits the same list
// the same way, the parts are disjoint, and together they hold every input.
struct Shard {
    int number = 1; // from 1 to count, as split(1)'s -n K/N counts
    int count = 1;
    bool splits() const { return count > 1; }
    // `key`: the input's path below the folder that was named (its file name when it was named
    // itself), with '/' between folders.
    bool holds(const QString &key) const;
};

// The shard the options and the environment name, or a reason they do not name one. `given` is
// the --shard value ("K/N"; empty when not given) and `countOption` the --shard-count value (0 when
// not given). Without --shard, a Slurm array task (SLURM_ARRAY_TASK_ID, SLURM_ARRAY_TASK_MIN,
// SLURM_ARRAY_TASK_COUNT) or a Kubernetes indexed job (JOB_COMPLETION_INDEX, with --shard-count)
// names it; none of them: the whole list.
bool chooseShard(const QString &given, int countOption, const QProcessEnvironment &environment, Shard *shard,
                 QString *error);
