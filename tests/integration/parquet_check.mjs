// Reads every Parquet report parquet_test.sh wrote with DuckDB and with the arrow-rs reader
// (parquet-wasm), and compares each with the --clean CSV of its mix.
//
// usage: node parquet_check.mjs DIR      (DIR/<mix>/pq/*.parquet beside DIR/<mix>/csv/*.csv)
import { createHash } from 'node:crypto';
import { readFileSync, readdirSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const [dir] = process.argv.slice(2);
const require = createRequire(path.join(process.env.KORVA_NPM_CACHE ?? '.', 'node_modules', '.'));
const { DuckDBInstance, version } = require('@duckdb/node-api');
const { readParquet } = require('parquet-wasm/node');
const { tableFromIPC } = require('apache-arrow');

let passed = 0, failed = 0;
function check(what, got, want) {
  const ok = String(got) === String(want);
  ok ? passed++ : failed++;
  if (!ok) console.log(`FAIL - ${what}: got [${got}], want [${want}]`);
}

// The documented columns of each report, name and DuckDB type (I INTEGER, S VARCHAR, D DOUBLE,
// T TIMESTAMP, else as written).
const T = 'TIMESTAMP', S = 'VARCHAR';
const columns = Object.fromEntries(Object.entries({
  Element: `name S num_lanes I volume I occupancy_pct D scan_cnt I flag I npds SMALLINT color0 TINYINT
    color1 TINYINT color2 TINYINT speed_mph D length_ft D bin1 I bin2 I bin3 I bin4 I spd_flag I
    spd_flag2 I spd_npds SMALLINT est_length_ft I calc_speed_mph D scan_cnt_sum I collection_time T`,
  Lane: 'name S collection_time T lanes I volume I occupancy_pct D status I incident I speed_mph D length_ft D',
  Trap: `name S collection_time T speed_mph D length_ft D bin1 I bin2 I bin3 I bin4 I flag1 I flag2 I`,
  Content: 'name S num_lanes I',
  Summary: `name S bin_start T periods I observed I volume I occupancy_pct D speed_mph D kind S roadway S
    side S milepost S location S`,
  Corridor: `roadway S side S bin_start T stations I length_mi D covered_mi D vmt D vht D delay_35_vh D
    delay_60_vh D q_mph D travel_time_min D tti D`,
  Health: `name S kind S window_periods I observed I zero_occupancy I occupied_no_volume I
    volume_no_occupancy I high_occupancy I capped_scans I longest_constant_periods I lanes_not_good I
    status S working_periods I implausible_speed I roadway S side S milepost S location S`,
  Cabinet: `device S alias S address S roadway S side S milepost S location S version I loops I
    stations I speedtraps I meteredlanes I status S`,
}).map(([kind, list]) => [kind, list.trim().split(/\s+/).reduce((pairs, word, i, words) => i % 2 ? pairs
  : [...pairs, [word, { I: 'INTEGER', S, D: 'DOUBLE', T }[words[i + 1]] ?? words[i + 1]]], [])]));
const kindOf = (name) => name.startsWith('RMDC_') ? 'Cabinet'
  : /^KORVA\d+Min_Corridor_/.test(name) ? 'Corridor'
  : /^KORVA\d+Min_/.test(name) ? 'Summary' : name.split('_')[1];

// Whether an arrow value is the CSV text: the same number, text or time, or null for an empty
// field.
function same(value, text, type) {
  if (text === null || value === null) return text === value;
  if (type === T) return new Date(Number(value)).toISOString().replace('T', ' ').slice(0, 19) === text;
  if (type === S) return value === text;
  return Number(text) === Number(value);  // a double equal to the text's, or a whole number
}

const db = await (await DuckDBInstance.create(':memory:')).connect();
const all = async (sql) => (await db.runAndReadAll(sql)).getRows()
  .map((r) => r.map((v) => (v === null ? 'null' : String(v))).join('|')).join(' ');
let files = 0, rows = 0, groups = 0, most = 0;
const seen = new Set();  // the pairs of Parquet and CSV bytes read: many mixes repeat a report
for (const mix of readdirSync(dir).filter((m) => !['in', 'day', 'days', 'archive', 'digest'].includes(m)).sort()) {
  const pq = path.join(dir, mix, 'pq');
  for (const name of readdirSync(pq).filter((n) => n.endsWith('.parquet'))) {
    files++;
    const kind = kindOf(name), file = path.join(pq, name), what = `${mix}/${name}`;
    try {
    const csv = path.join(dir, mix, 'csv', name.replace('.parquet', kind === 'Cabinet' ? '.CSV' : '.csv'));
    const want = columns[kind];
    const pair = createHash('sha1').update(readFileSync(file)).update(readFileSync(csv)).digest('hex');
    if (seen.has(pair)) continue;
    seen.add(pair);
    // DuckDB: names and types, the rows in their order equal to the CSV's text read as those
    // types, the statistics of every column of every row group (against the CSV's rows: DuckDB
    // answers from the statistics it reads), the writer.
    check(`${what}: columns and types`, await all(`SELECT string_agg(column_name || ' ' ||
        column_type, ', ') FROM (DESCRIBE FROM '${file}')`), want.map((c) => c.join(' ')).join(', '));
    const csvText = `read_csv('${csv}', header = true, all_varchar = true, allow_quoted_nulls = false,
        columns = {${want.map(([n]) => `'${n}': 'VARCHAR'`).join(', ')}})`;
    const typed = want.map(([n, t]) => `CAST("${n}" AS ${t}) AS "${n}"`).join(', ');
    // The CSV read once a file, as its text and as typed rows numbered in its order.
    await db.run(`CREATE OR REPLACE TEMP TABLE csv AS SELECT row_number() OVER () AS seq, * FROM ${csvText}`);
    await db.run(`CREATE OR REPLACE TEMP TABLE typed AS SELECT seq AS at, ${typed} FROM csv`);
    const parquet = `(SELECT row_number() OVER () AS at, * FROM '${file}')`;
    check(`${what}: DuckDB reads the rows of the CSV, in its order`, await all(`SELECT count(*) FROM
        ((FROM ${parquet} EXCEPT ALL FROM typed) UNION ALL (FROM typed EXCEPT ALL FROM ${parquet}))`), 0);
    const meta = `parquet_metadata('${file}')`;
    const bounds = `(SELECT row_group_id g, sum(row_group_num_rows) OVER (ORDER BY row_group_id) -
        row_group_num_rows AS first, row_group_num_rows n FROM ${meta} WHERE column_id = 0)`;
    const stats = want.map(([n], k) => `SELECT b.g, ${k} AS k, CAST(min(p."${n}") AS VARCHAR),
        CAST(max(p."${n}") AS VARCHAR), count(*) - count(p."${n}") FROM ${bounds} b JOIN typed p
        ON p.at > b.first AND p.at <= b.first + b.n GROUP BY b.g`).join(' UNION ALL ');
    check(`${what}: min, max and null count of every column chunk`, await all(`SELECT count(*) FROM
        ((SELECT row_group_id, column_id, stats_min_value, stats_max_value, stats_null_count FROM ${meta})
        EXCEPT ALL (${stats}))`), 0);
    const [held, writer] = (await all(`SELECT (SELECT count(DISTINCT row_group_id) FROM ${meta}), created_by
        FROM parquet_file_metadata('${file}')`)).split('|');
    groups += Number(held), most = Math.max(most, Number(held));
    check(`${what}: the writer`, writer, 'korva2csv version 2.02');
    // The arrow-rs reader: every value against the CSV's text (of the first 100,000 rows: the
    // rows of the big day's second row group are DuckDB's to compare).
    // The CSV's fields as text (null where empty) are DuckDB's CSV reader's.
    const table = tableFromIPC(readParquet(readFileSync(file)).intoIPCStream());
    const records = (await db.runAndReadAll(`SELECT * EXCLUDE (seq) FROM csv ORDER BY seq LIMIT 100000`)).getRows();
    const count = Number(await all('SELECT count(*) FROM csv'));
    rows += count;
    check(`${what}: arrow-rs: the column names, as many rows as the CSV`, [table.schema.fields.map((f) => f.name),
      table.numRows], [want.map((c) => c[0]), count]);
    let differing = 0, first = '';
    const vectors = want.map(([n]) => table.getChild(n));
    for (let r = 0; r < Math.min(records.length, table.numRows); r++) {
      for (let k = 0; k < want.length; k++) {
        const value = vectors[k].get(r);
        if (!same(value, records[r][k], want[k][1]) && !differing++) first = `row ${r + 1} ${want[k][0]}: ${value} for [${records[r][k]}]`;
      }
    }
    check(`${what}: arrow-rs: every value that of the CSV${differing ? ` (${first})` : ''}`, differing, 0);
    } catch (error) {
      check(`${what}: read`, error.message.split('\n')[0], 'read');
    }
  }
}
// The archive of parquet_test.sh (two days) read as one table through its date=/source=
// folders: every row in the partition of its own day.
{
  const glob = path.join(dir, 'archive', '*', '*', 'KORVA20Sec_Element_*.parquet');
  check('archive: one read_parquet over date=/source=', await all(`SELECT count(DISTINCT date),
    count(DISTINCT source), count(*) > 0,
    count(*) FILTER (WHERE CAST(collection_time AS DATE) <> CAST(date AS DATE))
    FROM read_parquet('${glob}', hive_partitioning = true)`), '2|2|true|0');
}
// The mixes hold every kind, empty reports, and a report of more than one row group.
check('files read', files >= 25, true);
check('a report of several row groups', most > 1, true);
console.log(`DuckDB ${version()}, parquet-wasm: ${files} files (${seen.size} different), ${rows} rows, ${groups} row groups; ${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
