"""Seeded market-basket data for demos, benchmarks and experiments.

`generate` builds shopping baskets as two parallel row arrays (transaction id, item id) with the
quirks that matter to a miner: long-tailed item popularity, overdispersed basket sizes, groups of
products that are bought together (so frequent triples and quads really exist), rare duplicate
scans, non-contiguous transaction ids and unsorted items within a basket.

`load_fimi` reads the classic whitespace-separated transaction files into the same shape, and
`fimi_datasets` lists the ones present next to the repository.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from itertools import zip_longest
from pathlib import Path

import numpy as np

__all__ = ["Baskets", "generate", "load_fimi", "fimi_datasets", "item_names_for"]

REPO_ROOT = Path(__file__).resolve().parent.parent
FIMI_NAMES = ("retail", "T10I4D100K", "mushroom", "chess")


@dataclass
class Baskets:
    txn_ids: np.ndarray  # int64, one per row, rows of a transaction adjacent
    item_ids: np.ndarray  # int32 in [0, n_items)
    n_items: int
    item_names: list[str] = field(repr=False)
    n_transactions: int

    @property
    def n_rows(self) -> int:
        return int(self.txn_ids.shape[0])

    def summary(self) -> str:
        avg = self.n_rows / self.n_transactions if self.n_transactions else 0.0
        return (f"{self.n_rows:,} rows, {self.n_transactions:,} transactions, "
                f"{self.n_items:,} items, {avg:.2f} items per basket")


# --------------------------------------------------------------------------------------------
# Product names
# --------------------------------------------------------------------------------------------

# Descriptors are per category so that combinations stay plausible ("greek yogurt", never
# "greek shampoo"); the empty string lets the plain product name come first.
_CATEGORIES: tuple[tuple[tuple[str, ...], tuple[str, ...]], ...] = (
    (("", "whole", "low-fat", "skimmed", "lactose-free", "greek", "vanilla", "strawberry",
      "salted", "unsalted", "aged", "grated"),
     ("milk", "yogurt", "butter", "cheddar", "mozzarella", "cream cheese", "sour cream",
      "parmesan", "kefir", "cottage cheese", "double cream", "feta")),
    (("", "sourdough", "whole wheat", "multigrain", "rye", "gluten-free", "sliced", "seeded",
      "brioche", "toasted"),
     ("bread", "bagels", "baguette", "tortillas", "croissants", "pita", "english muffins",
      "burger buns", "crackers", "rolls")),
    (("", "red", "green", "baby", "sweet", "ripe", "seedless", "fresh", "cherry", "loose"),
     ("apples", "bananas", "grapes", "tomatoes", "spinach", "carrots", "onions", "peppers",
      "avocados", "lemons", "potatoes", "strawberries", "lettuce", "cucumbers")),
    (("", "lean", "free-range", "smoked", "minced", "boneless", "marinated", "thick-cut",
      "sliced"),
     ("chicken breast", "ground beef", "pork chops", "bacon", "salmon fillet", "ham",
      "turkey slices", "sausages", "chicken thighs", "tuna steaks", "lamb mince")),
    (("", "sparkling", "still", "diet", "cold-brew", "decaf", "freshly squeezed", "iced",
      "unsweetened", "energy"),
     ("water", "cola", "orange juice", "coffee beans", "green tea", "lemonade", "apple juice",
      "ginger ale", "ground coffee", "tonic water")),
    (("", "salted", "sea salt", "barbecue", "cheese", "sour cream", "chili", "honey roasted",
      "dark chocolate", "caramel"),
     ("potato chips", "tortilla chips", "popcorn", "pretzels", "peanuts", "cookies",
      "chocolate bar", "granola bars", "cashews", "rice cakes", "gummy bears")),
    (("", "whole grain", "basmati", "jasmine", "penne", "quick-cook", "long-grain", "italian",
      "wild"),
     ("rice", "spaghetti", "pasta", "oats", "couscous", "quinoa", "lentils", "flour",
      "breakfast cereal", "noodles")),
    (("", "crushed", "roasted", "spicy", "sweet", "smoky", "garlic", "basil", "reduced-sugar"),
     ("tomato sauce", "ketchup", "mustard", "mayonnaise", "salsa", "pesto", "soy sauce",
      "olive oil", "vinegar", "peanut butter", "strawberry jam", "honey")),
    (("", "frozen", "family-size", "mixed", "mini", "deluxe", "gluten-free", "value-pack"),
     ("pizza", "peas", "fish fingers", "ice cream", "french fries", "mixed vegetables",
      "waffles", "dumplings", "berries", "lasagna")),
    (("", "sensitive", "fragrance-free", "extra soft", "ultra", "lavender", "citrus",
      "antibacterial", "eco"),
     ("toilet paper", "dish soap", "laundry detergent", "paper towels", "shampoo",
      "toothpaste", "hand soap", "trash bags", "sponges", "conditioner", "deodorant")),
    (("", "grain-free", "senior", "puppy", "kitten", "salmon", "chicken", "clumping"),
     ("dog food", "cat food", "cat litter", "dog treats", "cat treats", "bird seed")),
    (("", "newborn", "sensitive", "size 3", "size 4", "unscented", "hypoallergenic"),
     ("diapers", "baby wipes", "baby formula", "baby food pouches", "baby shampoo")),
)
_PREFIXES = ("", "organic ", "store-brand ", "premium ", "value ", "local ", "classic ")
_PACKS = ("", ", large", ", small", ", multipack", ", 2-pack", ", family pack", ", travel size",
          ", refill")


def _category_names(cat: int, needed: int) -> list[str]:
    descs, products = _CATEGORIES[cat]
    out: list[str] = []
    seen: set[str] = set()
    # Product varies fastest so the first names of a category are its staple products.
    for pack in _PACKS:
        for prefix in _PREFIXES:
            for desc in descs:
                if desc and desc == prefix.strip():
                    continue
                for product in products:
                    if len(out) == needed:
                        return out
                    name = " ".join(f"{prefix}{desc} {product}".split()) + pack
                    if name not in seen:  # a word can be both a prefix and a descriptor
                        seen.add(name)
                        out.append(name)
    return out


def item_names_for(n_items: int) -> list[str]:
    """Distinct product-like names; item `i` has category `i % 12` while names last.

    Names depend on `n_items` only, never on the seed, so a given id reads the same in every run.
    """
    n_cat = len(_CATEGORIES)
    per_cat = -(-n_items // n_cat)
    columns = [_category_names(c, per_cat) for c in range(n_cat)]
    names = [n for row in zip_longest(*columns) for n in row if n is not None][:n_items]
    # Past the word lists' reach, numbered variants keep names unique.
    base = len(names)
    k = 0
    while len(names) < n_items:
        names.append(f"{names[k % base]} (variant {k // base + 2})")
        k += 1
    return names


def _item_categories(n_items: int) -> np.ndarray:
    return np.arange(n_items, dtype=np.int64) % len(_CATEGORIES)


# --------------------------------------------------------------------------------------------
# Generator
# --------------------------------------------------------------------------------------------

def default_n_items(n_rows: int) -> int:
    # Catalogue breadth grows with the square root of the data: ~2k items at 1e5 rows, ~20k at 1e7.
    return int(max(50, round(2000 * math.sqrt(max(n_rows, 1) / 1e5))))


# Basket composition. Mean basket size ~ 1 + BACKGROUND_MEAN + GROUPS_PER_BASKET * ~3.7 ~ 10.
BACKGROUND_MEAN = 5.4          # independent picks from the long-tailed catalogue
BACKGROUND_DISPERSION = 2.5    # negative-binomial shape: heavier tail than Poisson, lighter than geometric
GROUPS_PER_BASKET = 0.95       # Poisson mean of correlated groups per basket
ITEM_ZIPF_S = 1.0              # item popularity ~ 1 / (rank + ZIPF_Q) ** s
ITEM_ZIPF_Q = 2.7
GROUP_ZIPF_S = 0.5             # flatter than items so many groups reach 0.2-2% support, not just a few
GROUP_SIZE_RANGE = (3, 6)
MEMBER_P_RANGE = (0.55, 0.95)  # chance that a non-anchor member joins when its group is picked
DUPLICATE_ROW_RATE = 5e-4      # fraction of rows that repeat a (transaction, item) pair


def _zipf_weights(n: int, s: float, q: float = 0.0) -> np.ndarray:
    w = 1.0 / np.power(np.arange(1, n + 1, dtype=np.float64) + q, s)
    return w / w.sum()


class _AliasSampler:
    """Walker's alias table: O(1) per draw, where inverse-CDF search costs a binary search."""

    def __init__(self, weights: np.ndarray):
        n = weights.shape[0]
        scaled = weights * (n / weights.sum())
        self.prob = np.ones(n)
        self.alias = np.arange(n, dtype=np.int64)
        small = [i for i in range(n) if scaled[i] < 1.0]
        large = [i for i in range(n) if scaled[i] >= 1.0]
        while small and large:
            s, l = small.pop(), large[-1]
            self.prob[s] = scaled[s]
            self.alias[s] = l
            scaled[l] -= 1.0 - scaled[s]
            if scaled[l] < 1.0:
                small.append(large.pop())
        # Leftovers are 1 up to rounding error.
        self.n = n

    def __call__(self, rng: np.random.Generator, size: int) -> np.ndarray:
        idx = rng.integers(0, self.n, size=size, dtype=np.int64)
        flip = rng.random(size) >= self.prob[idx]
        idx[flip] = self.alias[idx[flip]]
        return idx


def _build_groups(rng: np.random.Generator, n_items: int, popularity: np.ndarray):
    """Padded member table (-1 = no member) and per-member inclusion probabilities."""
    n_groups = int(np.clip(n_items // 8, 60, 500))
    lo, hi = GROUP_SIZE_RANGE
    hi = min(hi, n_items)
    lo = min(lo, hi)
    members = np.full((n_groups, hi), -1, dtype=np.int64)
    probs = np.zeros((n_groups, hi), dtype=np.float64)
    cats = _item_categories(n_items)
    n_cat = len(_CATEGORIES)
    # Members lean towards the better-selling items (sqrt of popularity) but reach into the tail.
    pull = np.sqrt(popularity)
    by_cat = [np.flatnonzero(cats == c) for c in range(n_cat)]
    for g in range(n_groups):
        size = int(rng.integers(lo, hi + 1))
        # A theme of two categories ("pasta night": dry goods + sauces) keeps groups readable.
        themes = rng.choice(n_cat, size=2, replace=False) if n_cat > 1 else np.array([0])
        pool = np.concatenate([by_cat[c] for c in themes])
        if pool.shape[0] < size:
            pool = np.arange(n_items)
        w = pull[pool] / pull[pool].sum()
        chosen = rng.choice(pool, size=size, replace=False, p=w)
        members[g, :size] = chosen
        probs[g, 0] = 1.0  # the anchor product that defines the occasion
        probs[g, 1:size] = rng.uniform(*MEMBER_P_RANGE, size=size - 1)
    return members, probs


def _unique_random_ids(rng: np.random.Generator, n: int) -> np.ndarray:
    # Receipt-like: large, positive, unordered; collisions are astronomically rare but checked.
    while True:
        ids = rng.integers(10**12, 2**62, size=n, dtype=np.int64)
        s = np.sort(ids)
        if not (s[1:] == s[:-1]).any():
            return ids


_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def _mix64(x: np.ndarray, salt: int) -> np.ndarray:
    """splitmix64 finaliser: a seed-salted pseudo-random function of each value."""
    x = x.astype(np.uint64) ^ np.uint64(salt)
    x ^= x >> np.uint64(30)
    x *= _MIX1
    x ^= x >> np.uint64(27)
    x *= _MIX2
    x ^= x >> np.uint64(31)
    return x


def generate(n_rows: int, seed: int = 7, n_items: int | None = None) -> Baskets:
    """About `n_rows` (transaction, item) rows of synthetic shopping baskets.

    The row count is met by keeping whole transactions only, so it lands just below `n_rows`.
    Deterministic for a given (n_rows, seed, n_items) and NumPy version.
    """
    if n_rows < 1:
        raise ValueError("n_rows must be positive")
    if n_items is None:
        n_items = default_n_items(n_rows)
    if n_items < 1:
        raise ValueError("n_items must be positive")
    rng = np.random.default_rng(seed)

    # Popularity rank -> item id is a random permutation, so popular items are not the low ids.
    item_of_rank = rng.permutation(n_items).astype(np.int64)
    rank_weights = _zipf_weights(n_items, ITEM_ZIPF_S, ITEM_ZIPF_Q)
    popularity = np.empty(n_items)
    popularity[item_of_rank] = rank_weights
    rank_sampler = _AliasSampler(rank_weights)

    use_groups = n_items >= 2
    if use_groups:
        members, member_p = _build_groups(rng, n_items, popularity)
        group_sampler = _AliasSampler(_zipf_weights(members.shape[0], GROUP_ZIPF_S))
        expected_group_yield = float(member_p.sum(axis=1).mean())
    else:
        expected_group_yield = 0.0

    # Oversample transactions a little so trimming to whole baskets can hit n_rows from above.
    mean_size = 1.0 + BACKGROUND_MEAN + (GROUPS_PER_BASKET * expected_group_yield if use_groups else 0)
    n_txn = max(1, int(math.ceil(n_rows / mean_size * 1.06)) + 8)

    # Background picks: 1 + negative binomial (gamma-Poisson) for an overdispersed size.
    r = BACKGROUND_DISPERSION
    bg_sizes = 1 + rng.negative_binomial(r, r / (r + BACKGROUND_MEAN), size=n_txn)
    bg_txn = np.repeat(np.arange(n_txn, dtype=np.int64), bg_sizes)
    bg_items = item_of_rank[rank_sampler(rng, bg_txn.shape[0])]

    if use_groups:
        n_groups_in = rng.poisson(GROUPS_PER_BASKET, size=n_txn)
        occ_txn = np.repeat(np.arange(n_txn, dtype=np.int64), n_groups_in)
        occ_group = group_sampler(rng, occ_txn.shape[0])
        cand = members[occ_group]
        keep = (rng.random(cand.shape) < member_p[occ_group]) & (cand >= 0)
        gr_txn = np.broadcast_to(occ_txn[:, None], cand.shape)[keep]
        gr_items = cand[keep]
        txn = np.concatenate([bg_txn, gr_txn])
        items = np.concatenate([bg_items, gr_items])
        del cand, keep, gr_txn, gr_items, occ_txn, occ_group
    else:
        txn, items = bg_txn, bg_items
    del bg_txn, bg_items

    # One sort on a packed (txn | h(txn, item) | item) key does three jobs: baskets become
    # contiguous, items land in a random-looking order inside each basket (h is a salted hash, so
    # the order differs per basket), and repeats of a (txn, item) pair become adjacent.
    item_bits = max(1, (n_items - 1).bit_length())
    txn_bits = max(1, (n_txn - 1).bit_length())
    hash_bits = min(30, 63 - item_bits - txn_bits)
    salt = int(rng.integers(0, 2**63))
    if hash_bits >= 8:
        h = _mix64(txn * n_items + items, salt) >> np.uint64(64 - hash_bits)
        keys = (txn << (hash_bits + item_bits)) | (h.astype(np.int64) << item_bits) | items
        del h
        shift = hash_bits + item_bits
    else:
        # Too many items and baskets to pack a hash: fall back to item order within baskets.
        keys = txn * n_items + items
        shift = None
    del txn, items
    keys.sort()

    # Drop repeats, then let a few back in: real scanners record an item twice now and then,
    # and consumers must cope with it.
    dup = np.zeros(keys.shape[0], dtype=bool)
    np.equal(keys[1:], keys[:-1], out=dup[1:])
    dup_idx = np.flatnonzero(dup)
    target = int(round(DUPLICATE_ROW_RATE * n_rows))
    if dup_idx.shape[0] > target:
        readmit = rng.choice(dup_idx, size=target, replace=False) if target else dup_idx[:0]
        dup[readmit] = False
        keys = keys[~dup]
    del dup, dup_idx

    if shift is not None:
        txn = keys >> shift
        items = keys & ((1 << item_bits) - 1)
    else:
        txn = keys // n_items
        items = keys - txn * n_items
    del keys

    # Trim to whole transactions so the total does not exceed n_rows.
    if txn.shape[0] > n_rows:
        cut = n_rows
        last = txn[cut - 1]
        if txn[cut] == last:
            cut = int(np.searchsorted(txn, last, side="left"))
            if cut == 0:  # a single basket larger than n_rows: keep it whole
                cut = int(np.searchsorted(txn, last, side="right"))
        txn, items = txn[:cut], items[:cut]

    # txn is sorted 0..k, so its last value + 1 counts the baskets kept.
    n_kept = int(txn[-1]) + 1
    ids = _unique_random_ids(rng, n_kept)
    return Baskets(
        txn_ids=ids[txn],
        item_ids=items.astype(np.int32),
        n_items=int(n_items),
        item_names=item_names_for(int(n_items)),
        n_transactions=n_kept,
    )


# --------------------------------------------------------------------------------------------
# FIMI files
# --------------------------------------------------------------------------------------------

def load_fimi(path: str | Path) -> Baskets:
    """Read a transaction-per-line file of blank-separated non-negative item ids.

    Transaction id = 0-based line number (blank lines still count as lines but yield no rows).
    """
    data = Path(path).read_bytes()
    buf = np.frombuffer(data, dtype=np.uint8)
    is_digit = (buf >= ord("0")) & (buf <= ord("9"))
    allowed = is_digit | (buf == ord(" ")) | (buf == ord("\t")) | (buf == ord("\n")) | (buf == ord("\r"))
    if not allowed.all():
        bad = int(np.flatnonzero(~allowed)[0])
        raise ValueError(f"{path}: unexpected byte {data[bad:bad + 1]!r} at offset {bad}")
    # Token starts are digits not preceded by a digit; the newlines before a token give its line.
    starts = np.flatnonzero(is_digit & ~np.concatenate(([False], is_digit[:-1])))
    newlines = np.flatnonzero(buf == ord("\n"))
    del is_digit, allowed
    txn = np.searchsorted(newlines, starts, side="left").astype(np.int64)
    if starts.shape[0]:
        items = np.fromstring(data, dtype=np.int64, sep=" ")
    else:
        items = np.zeros(0, dtype=np.int64)
    if items.shape[0] != starts.shape[0]:
        raise ValueError(f"{path}: parsed {items.shape[0]} ids but found {starts.shape[0]} tokens")
    n_items = int(items.max()) + 1 if items.shape[0] else 0
    if n_items > np.iinfo(np.int32).max:
        raise ValueError(f"{path}: item id {n_items - 1} does not fit in int32")
    return Baskets(
        txn_ids=txn,
        item_ids=items.astype(np.int32),
        n_items=n_items,
        item_names=[str(i) for i in range(n_items)],
        n_transactions=int(np.unique(txn).shape[0]),
    )


def fimi_datasets() -> list[Path]:
    """The benchmark files present beside the repository, in a fixed order."""
    base = (REPO_ROOT / ".." / "shared" / "data").resolve()
    return [p for p in (base / f"{name}.dat" for name in FIMI_NAMES) if p.is_file()]


if __name__ == "__main__":
    import argparse
    import time

    ap = argparse.ArgumentParser(description="Generate synthetic baskets and print a summary.")
    ap.add_argument("rows", type=lambda s: int(float(s)), nargs="?", default=100_000)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--items", type=int, default=None)
    args = ap.parse_args()
    t0 = time.perf_counter()
    b = generate(args.rows, seed=args.seed, n_items=args.items)
    print(f"{b.summary()}  ({time.perf_counter() - t0:.2f} s)")
