// Slice bookkeeping of the three-stage fully connected pipelines: in each
// step stage 0 is loaded, stage 1 (loaded the step before) is multiplied and
// stage 2 (multiplied the step before) is stored when it completes its block.
// Slices walk input sections innermost, then batch rows, then output columns.
#pragma once

struct fc_stages_t {
  int valid[3];
  int n_off[3], n_cnt[3], k_off[3], k_cnt[3], m_off[3], m_cnt[3];
  int loading;                  // slices remain to be loaded
  int n_next, k_next, m_next;   // offsets of the next slice to load
  int M, K, N;                  // batch, input and output extents
  int m_slice, k_slice, n_slice;
};

// Starts with nothing in flight and the first slice to load at the origin.
void fc_stages_init(fc_stages_t *st, int M, int K, int N, int m_slice, int k_slice, int n_slice);
// Whether any stage is left to load, multiply or store.
int fc_stages_running(const fc_stages_t *st);
// Fills stage 0 with the next slice (or marks it empty once all are loaded).
void fc_stages_fill(fc_stages_t *st);
// Moves every stage one step on and advances the offsets past stage 0's slice.
void fc_stages_advance(fc_stages_t *st);
