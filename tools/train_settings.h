// train_settings.h - the trainers' long options (options.h: --init, --seed,
// --restarts, --tol, --empty, --labels; --quiet: quiet_output.h) turned into the engine's training
// settings, the starting model of --init=<model file> read, and the labels file.
// Every piece prints its own messages; none exits.
#ifndef KMEANS_TRAIN_SETTINGS_H
#define KMEANS_TRAIN_SETTINGS_H

#include "kmeans.h"
#include "options.h"
#include "quiet_output.h"

// The echo lines of the long options given, under "options: " (none when none was
// given, so that the echo stays what it has always been).
void echo_train_settings(const TrainerOptions& options);

// The settings the options ask for: false after the message when a value is refused
// (--seed not a number, --restarts below 1, --tol negative or not a number, --empty
// other than keep or split).
bool train_settings(const TrainerOptions& options, kmeans::TrainSettings& settings);

// Configures the model; with --init=<model file>, reads its centres and takes its k
// into options.k. False after the message.
bool prepare_model(TrainerOptions& options, kmeans::KMeans& model);

// With --init=<model file>: false after the message when the data's dimension is not
// the model's.
bool model_fits(const TrainerOptions& options, const kmeans::KMeans& model, int d);

// Every row's cluster, whole or not at all: .npy (int32, shape (n,)) with `npy`, else
// text ("n", then one index per line: the min cluster file). False when it could not be
// written (no message).
bool write_indices(const char* path, const int* index, int n, bool npy);

#endif
