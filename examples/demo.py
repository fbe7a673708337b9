"""A short demonstration of orv_rans: slot lookups of a few frequency tables."""
import time

import numpy as np

import orv_rans

print("backend:", *orv_rans.get_backend_info())
rng = np.random.default_rng(1)
# three frequency tables summing to 4096, as a coder would use them
freqs = rng.integers(1, 32, size=(3, 256)).astype(np.float64)
freqs = np.maximum(1, np.round(freqs / freqs.sum(axis=1, keepdims=True) * 4096)).astype(np.uint64)
freqs[:, 0] += 4096 - freqs.sum(axis=1)
cum = np.zeros((1, 3, 257), np.uint64)
cum[0, :, 1:] = np.cumsum(freqs, axis=1)
t = time.perf_counter()
lookups = orv_rans.build_all_lookups(cum)
dt = time.perf_counter() - t
for j in range(3):
    first = lookups[0, j]
    ok = all((first[cum[0, j, s]:cum[0, j, s + 1]] == s).all() for s in range(256))
    print(f"table {j}: slot lookup of 4096 entries, every slot maps to its symbol: {ok}")
print(f"built in {dt * 1e6:.0f} us")
