#!/usr/bin/env bash
# The shared library exports the host class's native methods and JNI_OnUnload, nothing else.
set -euo pipefail
lib=$1
expected="JNI_OnUnload
$(for m in addColumn createAggregateCursor createCursor createStorage createTablePartition \
    cursorGatherTuples cursorGetBuffer cursorGetOutputSchema cursorHasNextPage doFullCompaction \
    dropColumn dropTablePartition getAllTablePartitions getLastPersistedRow getTablePartition \
    getTableSchema modifyColumnType processBatch readRow releaseCursor releaseStorage \
    releaseTablePartition remove resetLogger setLogger setLowWatermark setParameter upsert; do
    echo "Java_org_vornhale_internal_columnar_NativeInterface_$m"; done)"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$actual" != "$(echo "$expected" | sort)" ]; then
  diff <(echo "$expected" | sort) <(echo "$actual") || true
  echo "unexpected exported symbols in $lib"
  exit 1
fi
echo "$(echo "$actual" | wc -l) exported symbols as expected"
