// Slice bookkeeping shared by the fully connected pipelines.
#include "layers/conv/fc_stages.h"

namespace {

// Entry i takes entry i - 1.
void shift3(int v[3]) {
  v[2] = v[1];
  v[1] = v[0];
}

int min_of(int a, int b) { return a < b ? a : b; }

}  // namespace

void fc_stages_init(fc_stages_t *st, int M, int K, int N, int m_slice, int k_slice, int n_slice) {
  *st = fc_stages_t{};
  st->loading = 1;
  st->M = M, st->K = K, st->N = N;
  st->m_slice = m_slice, st->k_slice = k_slice, st->n_slice = n_slice;
}

int fc_stages_running(const fc_stages_t *st) { return st->loading || st->valid[1] || st->valid[2]; }

void fc_stages_fill(fc_stages_t *st) {
  if (!st->loading) {
    st->valid[0] = 0;
    return;
  }
  st->valid[0] = 1;
  st->n_off[0] = st->n_next, st->k_off[0] = st->k_next, st->m_off[0] = st->m_next;
  st->n_cnt[0] = min_of(st->N - st->n_next, st->n_slice);
  st->k_cnt[0] = min_of(st->K - st->k_next, st->k_slice);
  st->m_cnt[0] = min_of(st->M - st->m_next, st->m_slice);
}

void fc_stages_advance(fc_stages_t *st) {
  shift3(st->valid), shift3(st->n_off), shift3(st->n_cnt), shift3(st->k_off), shift3(st->k_cnt);
  shift3(st->m_off), shift3(st->m_cnt);
  if (!st->loading) return;
  if (st->k_next + st->k_cnt[1] < st->K) {
    st->k_next += st->k_cnt[1];
    return;
  }
  st->k_next = 0;
  if (st->m_next + st->m_cnt[1] < st->M) {
    st->m_next += st->m_cnt[1];
    return;
  }
  st->m_next = 0;
  st->n_next += st->n_cnt[1];
  if (st->n_next >= st->N) st->loading = 0;
}
