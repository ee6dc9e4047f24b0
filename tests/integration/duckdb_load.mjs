// Runs the DuckDB statements of docs/reports.md on the reports duckdb_test.sh wrote, and checks
// what they load.
//
// usage: node duckdb_load.mjs TEST_DIR REPORTS_DIR
//
// Each "###" part of "Loading into DuckDB" runs in its folder of REPORTS_DIR: "Legacy reports" in
// plain/, "Clean reports" in clean/, "Compressed files" in zstd/, "A whole archive" in archive/
// (two days); "Summary report" in plain/. Each documented SELECT is kept as a table named after
// its part and its report (legacy_lane, clean_element, archive_parquet, summary_element ...).
// @duckdb/node-api is taken from $KORVA_NPM_CACHE/node_modules.
import { readFileSync, readdirSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const [testDir, reportsDir] = process.argv.slice(2);
const require = createRequire(path.join(process.env.KORVA_NPM_CACHE ?? '.', 'node_modules', '.'));
const { DuckDBInstance, version } = require('@duckdb/node-api');

let passed = 0, failed = 0;
function check(what, got, want) {
  const ok = String(got) === String(want);
  ok ? passed++ : failed++;
  console.log(ok ? `ok   - ${what}` : `FAIL - ${what}: got [${got}], want [${want}]`);
}
const db = await (await DuckDBInstance.create(':memory:')).connect();
// The rows of a query, values joined by '|' (NULL as 'null'), rows by ' '.
const all = async (sql) => (await db.runAndReadAll(sql)).getRows()
  .map((r) => r.map((v) => (v === null ? 'null' : String(v))).join('|')).join(' ');
const differing = (a, b) => all(`SELECT count(*) FROM ((FROM ${a} EXCEPT ALL FROM ${b})
    UNION ALL (FROM ${b} EXCEPT ALL FROM ${a}))`);

// The documented tables give every load's column names and, as DuckDB's types, BIGINT for whole
// numbers and DOUBLE for decimals.
const docs = readFileSync(path.join(testDir, '../../docs/reports.md'), 'utf8');
const blocks = (text) => [...text.matchAll(/^```sql\n(.*?)^```$/gms)].map((m) => m[1]);
await db.run('CREATE SCHEMA documented');
for (const block of blocks(docs).filter((b) => b.startsWith('CREATE TABLE'))) await db.run(block.replaceAll('CREATE TABLE ', 'CREATE TABLE documented.'));
const reports = readFileSync(path.join(testDir, 'reports.tsv'), 'utf8').split('\n')
  .filter((line) => line && !line.startsWith('#')).map((line) => line.split(/\s+/));
const expected = {};
for (const [, kind] of reports) {
  expected[kind] = await all(`SELECT string_agg(column_name || ' ' || CASE
        WHEN data_type IN ('SMALLINT', 'INTEGER') THEN 'BIGINT'
        WHEN data_type LIKE 'DECIMAL%' THEN 'DOUBLE' ELSE data_type END, ', '
        ORDER BY ordinal_position) FROM information_schema.columns
      WHERE table_schema = 'documented' AND table_name = 'korva_${kind}'`);
}

// The statements, part by part, each in its part's folder.
const section = (title) => docs.split(`\n## ${title}\n`)[1]?.split(/^## /m)[0] ?? '';
const parts = section('Loading into DuckDB').split(/^### /m).slice(1)
  .concat(`Summary report\n${section('Summary report')}`)
  .concat(`Corridor report\n${section('Corridor report')}`);
const folders = { 'Legacy reports': ['legacy', 'plain'], 'Clean reports': ['clean', 'clean'],
  'Compressed files': ['compressed', 'zstd'], 'A whole archive': ['archive', 'archive'],
  'Summary report': ['summary', 'plain'], 'Corridor report': ['corridor', 'plain'] };
for (const part of parts) {
  const heading = part.slice(0, part.indexOf('\n'));
  const statements = blocks(part).join('').split(/;\s*$/m).map((s) => s.trim()).filter(Boolean);
  if (!statements.length) continue;
  const [prefix, folder] = folders[heading] ?? check(`docs: "${heading}" has statements, no folder here`, heading, '') ?? ['', '.'];
  process.chdir(path.join(reportsDir, folder));
  for (const statement of statements) {
    const file = statement.match(/KORVA20Sec_(\w+?)_|KORVA\d+Min_(Corridor)_|(RMDC)_|\.(parquet)'/);
    const kind = file ? (file[1] ?? file[2] ?? file[3] ?? file[4]).toLowerCase().replace('rmdc', 'cabinet') : '?';
    await db.run(/^(SELECT|WITH)\b/.test(statement) ? `CREATE TABLE ${prefix}_${kind} AS ${statement}` : statement)
      .catch((error) => check(`${heading}: ${statement.split('\n')[0]}`, error.message.split('\n')[0], 'run'));
  }
}

// Both dialects: the documented names and types; a legacy row per data line, the clean reports
// give the legacy rows.
for (const [dialect, folder] of [['legacy', 'plain'], ['clean', 'clean']]) {
  for (const [pattern, kind, , above, below] of reports) {
    const table = `${dialect}_${kind}`;
    const name = readdirSync(path.join(reportsDir, folder)).find((n) => n.startsWith(pattern.replace('*', '')));
    const lines = readFileSync(path.join(reportsDir, folder, name), 'latin1').split('\n')
      .slice(Number(above), -1 - Number(below));
    try {
      check(`${table}: documented columns and types`, await all(`SELECT string_agg(column_name || ' ' || column_type, ', ') FROM (DESCRIBE ${table})`), expected[kind]);
      check(`${table}: one row per data line, the legacy rows`, await (dialect === 'legacy'
        ? all(`SELECT count(*) FROM ${table}`) : differing(table, `legacy_${kind}`)), dialect === 'legacy' ? lines.length : 0);
    } catch (error) { // a table that no statement made
      check(`${table}: loaded by a documented statement`, error.message.split('\n')[0], 'loaded');
    }
  }
}

process.chdir(path.join(reportsDir, 'archive'));
for (const [what, got, want] of [
  ['compressed_lane: the rows of the .zst lane report', 'FROM compressed_lane',
    'SELECT count(*) FROM legacy_lane'],
  ['summary_element: the summary recomputed from the element report', `SELECT count(*) FROM
    (SELECT * FROM read_csv('../plain/KORVA15Min_Element_05012021.csv')) s FULL JOIN summary_element r
    ON s.name = r.name AND s.bin_start = r.bin_start AND (s.periods, s.observed, s.volume) =
      (r.periods, r.observed, r.volume) AND s.occupancy_pct IS NOT DISTINCT FROM r.occupancy_pct
      AND s.speed_mph IS NOT DISTINCT FROM r.speed_mph WHERE s.name IS NULL OR r.name IS NULL`,
    'SELECT 0'],
  ['archive_element: the date and source of each folder, the rows and volume of its day',
    'SELECT date, source, row_count, vehicles FROM archive_element', `FROM (SELECT date '2021-05-01',
    'KORVA20S_20210501.DAT', count(*), sum(volume) FROM '../clean/KORVA20Sec_Element_05012021.csv'
    UNION ALL SELECT date '2021-05-02', 'KORVA20S_20210502.DAT', count(*), sum(volume) FROM
    'reports/date=2021-05-02/*/KORVA20Sec_Element_05022021.csv') ORDER BY 1`],
  ['corridor_corridor: the daily totals, one row a corridor, of the corridor report\'s sums',
    `SELECT count(*), abs(sum(vmt) - (SELECT sum(vmt) FROM
    read_csv('../plain/KORVA15Min_Corridor_05012021.csv'))) < 0.01 FROM corridor_corridor`,
    `SELECT count(DISTINCT (roadway, side)), true FROM
    read_csv('../plain/KORVA15Min_Corridor_05012021.csv')`],
  ['archive_parquet: the rows of archive_element', 'FROM archive_parquet', 'FROM archive_element'],
]) {
  await (async () => check(what, await all(got), await all(want)))()
    .catch((error) => check(what, error.message.split('\n')[0], 'run'));  // a table that no statement made
}
console.log(`DuckDB ${version()}: ${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
