"""tallyfold: frequent itemsets, association rules and pair statistics for market baskets.

Labelled baskets go in (a pandas, polars or pyarrow table of (transaction, item) rows, lists
of labels, a one-hot table or a file), labelled pandas DataFrames come out. The mining runs in
native code on every core, with the interpreter lock released.

>>> import tallyfold as tf
>>> baskets = tf.Baskets.from_lists([["milk", "bread"], ["milk", "eggs"], ["milk", "bread"]])
>>> itemsets = tf.frequent_itemsets(baskets, min_support=0.5)
>>> rules = tf.association_rules(itemsets, metric="confidence", min_threshold=0.9)
>>> len(itemsets), len(rules)
(3, 1)
"""

import pkgutil

# A source checkout ahead of the installed copy on sys.path (a test run from the repository)
# would otherwise hide the compiled engine, which `pip install .` puts beside the installed
# copy only.
__path__ = pkgutil.extend_path(__path__, __name__)

from .baskets import Baskets  # noqa: E402
from .errors import MemoryLimitError, ResultLimitError  # noqa: E402
from .io import read_baskets  # noqa: E402
from .itemsets import frequent_itemsets  # noqa: E402
from .pairs import pairs  # noqa: E402
from .rules import association_rules  # noqa: E402

__version__ = "0.1.0"

__all__ = ["Baskets", "MemoryLimitError", "ResultLimitError", "association_rules",
           "frequent_itemsets", "pairs", "read_baskets", "__version__"]
