// train.h - a trainer's run, in the pieces a trainer driver strings together:
// outputs checked, data read, centres trained and written. A driver that holds its
// rows otherwise (read in parts, say) calls train_and_write with its own matrix.
// Every piece prints its own messages and progress lines, as the trainers always
// have; none exits.
#ifndef KMEANS_TRAIN_H
#define KMEANS_TRAIN_H

#include <memory>

#include "kmeans.h"
#include "messages.h"
#include "options.h"
#include "text_scan.h"

// The command line, parsed (usage and "Unknown option" on a bad one), echoed and
// checked (-k and -p at least 1); sets KMeans::nb_threads. Returns the exit status of
// a refused command line (1), or -1 to go on.
int accept_trainer_options(int argc, char** argv, TrainerOptions& options);

// What a trainer prints between the data file's header and its body: the block
// size, estimated for n rows of d values when none was given (into
// options.blockSize), then the run's settings.
void settle_block_size(TrainerOptions& options, int n, int d);

// Pieces of the runs above that the distributed trainer strings together otherwise;
// each prints its message on failure.
// n >= k: enough vectors for the clusters.
bool enough_rows(const TrainerOptions& options, int n);
// The message of a data body that did not read (ReadStatus other than ok) into rows
// of d values.
void body_unread(kmeans::ReadStatus status, const char* path, int rows, int d);
// The nearest-centre array of n rows, or null.
std::unique_ptr<int[]> new_nearest_array(int n);

// The outputs may neither name the data file nor each other, and each must be
// writable (a temporary file is created beside it and removed): checked before the
// data is read, so a bad path does not cost a training run. False after the message.
bool check_outputs(const TrainerOptions& options);

// Reads the data file into a new augmented matrix (n rows of d+1 floats, column d =
// -0.5). Between the header and the body it refuses fewer vectors than clusters,
// estimates the block size when none was given (into options.blockSize) and prints
// the run's settings. False after the message.
bool load_data(TrainerOptions& options, std::unique_ptr<float[]>& matrix, int& n, int& d);

// Trains options.k centres on the matrix, writes the model file, releases the matrix
// and writes the min cluster file (when options.minClusterFile is set) and the labels
// (--labels). Returns the
// exit status: 0, or 1 after the message.
// With --init=<model file>, the model holds its centres already (prepare_model).
int train_and_write(const TrainerOptions& options, kmeans::KMeans& model,
                    std::unique_ptr<float[]> matrix, int n, int d);

// The three in order, after the settings have been echoed and validated.
int run_trainer(TrainerOptions& options);

#endif
