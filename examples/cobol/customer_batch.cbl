      *================================================================
      * CUSTOMER-BATCH: nightly customer master update.
      *
      * Step 1  loads the customer extract (line sequential) into an
      *         indexed master keyed by customer number, with the city
      *         as an alternate key that allows duplicates.
      * Step 2  applies the day's transactions (A add, C change,
      *         D delete) by key.  Every rejected record goes to a
      *         record sequential error file with the FILE STATUS that
      *         rejected it, or "--" when the job's own rules did (over
      *         the credit limit, an unknown transaction type); a
      *         relative file keeps one counter record per transaction
      *         type.
      * Step 3  prints the report: the rejects read back from the
      *         error file, the customers in city order with per-city
      *         totals, customers near their credit limit in customer
      *         number order, a city look-up and the counters.  Every
      *         report line goes to the report file and to stdout.
      *
      * File names come from the environment, with defaults in the
      * current folder:
      *   CUSTIN   customers.txt     customer extract (input)
      *   TXNIN    transactions.txt  transactions (input)
      *   CUSTMAST custmast.dat      indexed customer master
      *   CUSTERR  custerr.dat       rejected records
      *   CUSTCNT  custcnt.dat       relative counter file
      *   CUSTRPT  custrpt.txt       report
      *
      * Any FILE STATUS the job does not expect ends it with return
      * code 16 and a message on stderr naming the verb and file.
      *
      * Within a city the report lists customers in the order they
      * joined it, also when the city's first customer has left.
      *================================================================
       IDENTIFICATION DIVISION.
       PROGRAM-ID. CUSTOMER-BATCH.

       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT CUST-IN ASSIGN TO WS-CUSTIN-NAME
               ORGANIZATION IS LINE SEQUENTIAL
               FILE STATUS IS WS-CUSTIN-STATUS.

           SELECT TXN-IN ASSIGN TO WS-TXNIN-NAME
               ORGANIZATION IS LINE SEQUENTIAL
               FILE STATUS IS WS-TXNIN-STATUS.

           SELECT CUST-MASTER ASSIGN TO WS-MASTER-NAME
               ORGANIZATION IS INDEXED
               ACCESS MODE IS DYNAMIC
               RECORD KEY IS CM-CUST-NO
               ALTERNATE RECORD KEY IS CM-CITY WITH DUPLICATES
               FILE STATUS IS WS-MASTER-STATUS.

           SELECT ERR-FILE ASSIGN TO WS-ERR-NAME
               ORGANIZATION IS SEQUENTIAL
               ACCESS MODE IS SEQUENTIAL
               FILE STATUS IS WS-ERR-STATUS.

           SELECT CNT-FILE ASSIGN TO WS-CNT-NAME
               ORGANIZATION IS RELATIVE
               ACCESS MODE IS DYNAMIC
               RELATIVE KEY IS WS-CNT-SLOT
               FILE STATUS IS WS-CNT-STATUS.

           SELECT RPT-FILE ASSIGN TO WS-RPT-NAME
               ORGANIZATION IS LINE SEQUENTIAL
               FILE STATUS IS WS-RPT-STATUS.

       DATA DIVISION.
       FILE SECTION.
      * Customer extract: fixed columns, lines starting "*" are notes.
       FD  CUST-IN.
       01  CI-REC.
           05  CI-CUST-NO          PIC X(6).
           05  FILLER              PIC X.
           05  CI-NAME             PIC X(24).
           05  FILLER              PIC X.
           05  CI-CITY             PIC X(14).
           05  FILLER              PIC X.
           05  CI-LIMIT            PIC X(7).
           05  FILLER              PIC X.
           05  CI-BALANCE          PIC X(11).

      * Transactions: type, key, then the fields the type uses.
       FD  TXN-IN.
       01  TI-REC.
           05  TI-TYPE             PIC X.
           05  FILLER              PIC X.
           05  TI-CUST-NO          PIC X(6).
           05  FILLER              PIC X.
           05  TI-NAME             PIC X(24).
           05  FILLER              PIC X.
           05  TI-CITY             PIC X(14).
           05  FILLER              PIC X.
           05  TI-LIMIT            PIC X(7).
           05  FILLER              PIC X.
           05  TI-AMOUNT           PIC X(11).

       FD  CUST-MASTER.
       01  CM-REC.
           05  CM-CUST-NO          PIC 9(6).
           05  CM-NAME             PIC X(24).
           05  CM-CITY             PIC X(14).
           05  CM-LIMIT            PIC 9(7)       COMP-3.
           05  CM-BALANCE          PIC S9(7)V99   COMP-3.
           05  CM-TXN-COUNT        PIC 9(4)       COMP.
           05  CM-LAST-LINE        PIC 9(4).
           05  FILLER              PIC X(16).

       FD  ERR-FILE.
       01  ER-REC.
           05  ER-STEP             PIC X(4).
           05  ER-LINE             PIC 9(4).
           05  ER-TYPE             PIC X.
           05  ER-CUST-NO          PIC X(6).
           05  ER-STATUS           PIC XX.
           05  ER-REASON           PIC X(24).
           05  ER-AMOUNT           PIC S9(7)V99   COMP-3.
           05  FILLER              PIC X(10).

       FD  CNT-FILE.
      * The slot number is kept in the record as well: GnuCOBOL 3.1
      * leaves the RELATIVE KEY item unchanged by a READ NEXT that goes
      * through an external file handler.
       01  CT-REC.
           05  CT-SLOT             PIC 9(4).
           05  CT-NAME             PIC X(8).
           05  CT-READ             PIC 9(5)       COMP-3.
           05  CT-APPLIED          PIC 9(5)       COMP-3.
           05  CT-REJECTED         PIC 9(5)       COMP-3.
           05  CT-AMOUNT           PIC S9(9)V99   COMP-3.

       FD  RPT-FILE.
       01  RPT-REC                 PIC X(80).

       WORKING-STORAGE SECTION.
       01  WS-FILE-NAMES.
           05  WS-CUSTIN-NAME      PIC X(256).
           05  WS-TXNIN-NAME       PIC X(256).
           05  WS-MASTER-NAME      PIC X(256).
           05  WS-ERR-NAME         PIC X(256).
           05  WS-CNT-NAME         PIC X(256).
           05  WS-RPT-NAME         PIC X(256).

       01  WS-CUSTIN-STATUS        PIC XX.
           88  CUSTIN-OK           VALUE "00".
           88  CUSTIN-EOF          VALUE "10".
       01  WS-TXNIN-STATUS         PIC XX.
           88  TXNIN-OK            VALUE "00".
           88  TXNIN-EOF           VALUE "10".
       01  WS-MASTER-STATUS        PIC XX.
           88  MASTER-OK           VALUES "00" "02".
           88  MASTER-EOF          VALUE "10".
           88  MASTER-DUP-KEY      VALUE "22".
           88  MASTER-NOT-FOUND    VALUE "23".
       01  WS-ERR-STATUS           PIC XX.
           88  ERR-OK              VALUE "00".
           88  ERR-EOF             VALUE "10".
       01  WS-CNT-STATUS           PIC XX.
           88  CNT-OK              VALUE "00".
           88  CNT-EOF             VALUE "10".
           88  CNT-NOT-FOUND       VALUE "23".
       01  WS-RPT-STATUS           PIC XX.
           88  RPT-OK              VALUE "00".

      * What failed, for the message of IO-FAILED.
       01  WS-IO-WHAT              PIC X(30).
       01  WS-IO-STATUS            PIC XX.

       01  WS-CNT-SLOT             PIC 9(4).

      * Counter slots, one per transaction type; 9 takes the rest.
       01  WS-SLOT                 PIC 9(4).
       01  WS-SLOT-NAME            PIC X(8).
       01  WS-OUTCOME              PIC X.
           88  OUTCOME-APPLIED     VALUE "A".
           88  OUTCOME-REJECTED    VALUE "R".
       01  WS-AMOUNT               PIC S9(7)V99.

       01  WS-LINE-NO              PIC 9(4).
       01  WS-NEW-BALANCE          PIC S9(8)V99.
       01  WS-REASON               PIC X(24).
       01  WS-REJECT-STATUS        PIC XX.

       01  WS-TOTALS.
           05  WS-LOAD-READ        PIC 9(5)  VALUE ZERO.
           05  WS-LOAD-DONE        PIC 9(5)  VALUE ZERO.
           05  WS-LOAD-REJECTED    PIC 9(5)  VALUE ZERO.
           05  WS-TXN-READ         PIC 9(5)  VALUE ZERO.
           05  WS-TXN-DONE         PIC 9(5)  VALUE ZERO.
           05  WS-TXN-REJECTED     PIC 9(5)  VALUE ZERO.
           05  WS-ERR-READ-BACK    PIC 9(5)  VALUE ZERO.

      * Control break on city.
       01  WS-CURRENT-CITY         PIC X(14).
       01  WS-CITY-COUNT           PIC 9(5).
       01  WS-CITY-BALANCE         PIC S9(9)V99.
       01  WS-ALL-COUNT            PIC 9(5).
       01  WS-ALL-BALANCE          PIC S9(9)V99.
       01  WS-CITY-GROUPS          PIC 9(5).
       01  WS-NEAR-LIMIT           PIC 9(5).

       01  WS-LOOKUP-CITIES.
           05  FILLER              PIC X(14) VALUE "Oslo".
           05  FILLER              PIC X(14) VALUE "Zurich".
           05  FILLER              PIC X(14) VALUE "Berlin".
           05  FILLER              PIC X(14) VALUE "Paris".
       01  WS-LOOKUP-TABLE REDEFINES WS-LOOKUP-CITIES.
           05  WS-LOOKUP-CITY      PIC X(14) OCCURS 4 TIMES.
       01  WS-LOOKUP-IX            PIC 9.

      * Report lines.
       01  WS-LINE                 PIC X(80).

       01  WS-TITLE-LINE.
           05  FILLER              PIC X(40)
               VALUE "CUSTOMER MASTER UPDATE".
           05  FILLER              PIC X(40)
               VALUE "            JOB CUSTOMER-BATCH".

       01  WS-STEP-LINE.
           05  WS-SL-STEP          PIC X(16).
           05  FILLER              PIC X(6)  VALUE "READ".
           05  WS-SL-READ          PIC ZZZZ9.
           05  FILLER              PIC X(11) VALUE "   APPLIED".
           05  WS-SL-DONE          PIC ZZZZ9.
           05  FILLER              PIC X(12) VALUE "   REJECTED".
           05  WS-SL-REJECTED      PIC ZZZZ9.

       01  WS-REJECT-HEAD.
           05  FILLER              PIC X(46) VALUE
               "STEP LINE T CUSTNO ST REASON".
           05  FILLER              PIC X(34) VALUE
               "        AMOUNT".
       01  WS-REJECT-LINE.
           05  WS-RL-STEP          PIC X(4).
           05  FILLER              PIC X.
           05  WS-RL-LINE          PIC ZZZ9.
           05  FILLER              PIC X.
           05  WS-RL-TYPE          PIC X.
           05  FILLER              PIC X.
           05  WS-RL-CUST-NO       PIC X(6).
           05  FILLER              PIC X.
           05  WS-RL-STATUS        PIC XX.
           05  FILLER              PIC X.
           05  WS-RL-REASON        PIC X(24).
           05  WS-RL-AMOUNT        PIC --,---,--9.99.

       01  WS-CITY-HEAD.
           05  FILLER              PIC X(46) VALUE
               "CITY           CUSTNO NAME".
           05  FILLER              PIC X(34) VALUE
               "   LIMIT       BALANCE".
       01  WS-DETAIL-LINE.
           05  WS-DL-CITY          PIC X(14).
           05  FILLER              PIC X.
           05  WS-DL-CUST-NO       PIC 9(6).
           05  FILLER              PIC X.
           05  WS-DL-NAME          PIC X(24).
           05  WS-DL-LIMIT         PIC ZZZ,ZZ9.
           05  WS-DL-BALANCE       PIC ---,---,--9.99.
       01  WS-CITY-TOTAL-LINE.
           05  FILLER              PIC X(6)  VALUE SPACES.
           05  FILLER              PIC X(9)  VALUE "TOTAL".
           05  WS-CT-CITY          PIC X(14).
           05  WS-CT-COUNT         PIC ZZZZ9.
           05  WS-CT-NOUN          PIC X(18).
           05  WS-CT-BALANCE       PIC ---,---,--9.99.
       01  WS-GRAND-TOTAL-LINE.
           05  FILLER              PIC X(15) VALUE "ALL CITIES".
           05  WS-GT-CITIES        PIC ZZZZ9.
           05  WS-GT-CITY-NOUN     PIC X(9).
           05  WS-GT-COUNT         PIC ZZZZ9.
           05  WS-GT-NOUN          PIC X(18).
           05  WS-GT-BALANCE       PIC ---,---,--9.99.

       01  WS-LOOKUP-LINE.
           05  WS-LL-CITY          PIC X(15).
           05  WS-LL-TEXT          PIC X(20).
           05  WS-LL-CUST-NO       PIC X(7).
           05  WS-LL-NAME          PIC X(24).

       01  WS-COUNTER-HEAD.
           05  FILLER              PIC X(40) VALUE
               "SLOT TYPE        READ  APPLIED REJECTED".
           05  FILLER              PIC X(40) VALUE
               "           AMOUNT".
       01  WS-COUNTER-LINE.
           05  WS-KL-SLOT          PIC ZZZ9.
           05  FILLER              PIC X.
           05  WS-KL-NAME          PIC X(8).
           05  WS-KL-READ          PIC ZZZZZZ9.
           05  WS-KL-APPLIED       PIC Z(8)9.
           05  WS-KL-REJECTED      PIC Z(8)9.
           05  WS-KL-AMOUNT        PIC ----,---,--9.99.

       PROCEDURE DIVISION.
       MAIN-LINE.
           PERFORM GET-FILE-NAMES
           PERFORM LOAD-MASTER
           PERFORM APPLY-TRANSACTIONS
           PERFORM PRINT-REPORT
           DISPLAY "CUSTOMER-BATCH ENDED NORMALLY"
           MOVE 0 TO RETURN-CODE
           STOP RUN.

      *----------------------------------------------------------------
       GET-FILE-NAMES.
           ACCEPT WS-CUSTIN-NAME FROM ENVIRONMENT "CUSTIN"
           IF WS-CUSTIN-NAME = SPACES
               MOVE "customers.txt" TO WS-CUSTIN-NAME
           END-IF
           ACCEPT WS-TXNIN-NAME FROM ENVIRONMENT "TXNIN"
           IF WS-TXNIN-NAME = SPACES
               MOVE "transactions.txt" TO WS-TXNIN-NAME
           END-IF
           ACCEPT WS-MASTER-NAME FROM ENVIRONMENT "CUSTMAST"
           IF WS-MASTER-NAME = SPACES
               MOVE "custmast.dat" TO WS-MASTER-NAME
           END-IF
           ACCEPT WS-ERR-NAME FROM ENVIRONMENT "CUSTERR"
           IF WS-ERR-NAME = SPACES
               MOVE "custerr.dat" TO WS-ERR-NAME
           END-IF
           ACCEPT WS-CNT-NAME FROM ENVIRONMENT "CUSTCNT"
           IF WS-CNT-NAME = SPACES
               MOVE "custcnt.dat" TO WS-CNT-NAME
           END-IF
           ACCEPT WS-RPT-NAME FROM ENVIRONMENT "CUSTRPT"
           IF WS-RPT-NAME = SPACES
               MOVE "custrpt.txt" TO WS-RPT-NAME
           END-IF.

      *----------------------------------------------------------------
      * Step 1: customer extract into a new master.
       LOAD-MASTER.
           OPEN INPUT CUST-IN
           IF NOT CUSTIN-OK
               MOVE "OPEN INPUT CUST-IN" TO WS-IO-WHAT
               MOVE WS-CUSTIN-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           OPEN OUTPUT CUST-MASTER
           IF NOT MASTER-OK
               MOVE "OPEN OUTPUT CUST-MASTER" TO WS-IO-WHAT
               MOVE WS-MASTER-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           OPEN OUTPUT ERR-FILE
           IF NOT ERR-OK
               MOVE "OPEN OUTPUT ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
      *    A new, empty counter file, then kept open for update.
           OPEN OUTPUT CNT-FILE
           IF NOT CNT-OK
               MOVE "OPEN OUTPUT CNT-FILE" TO WS-IO-WHAT
               MOVE WS-CNT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           CLOSE CNT-FILE
           IF NOT CNT-OK
               MOVE "CLOSE CNT-FILE" TO WS-IO-WHAT
               MOVE WS-CNT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           OPEN I-O CNT-FILE
           IF NOT CNT-OK
               MOVE "OPEN I-O CNT-FILE" TO WS-IO-WHAT
               MOVE WS-CNT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF

           MOVE ZERO TO WS-LINE-NO
           PERFORM READ-CUSTOMER
           PERFORM UNTIL CUSTIN-EOF
               IF CI-REC NOT = SPACES AND CI-REC(1:1) NOT = "*"
                   PERFORM LOAD-ONE-CUSTOMER
               END-IF
               PERFORM READ-CUSTOMER
           END-PERFORM

           CLOSE CUST-IN
           IF NOT CUSTIN-OK
               MOVE "CLOSE CUST-IN" TO WS-IO-WHAT
               MOVE WS-CUSTIN-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           CLOSE CUST-MASTER
           IF NOT MASTER-OK
               MOVE "CLOSE CUST-MASTER" TO WS-IO-WHAT
               MOVE WS-MASTER-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
      *    The load step's rejects are complete; step 2 extends them.
           CLOSE ERR-FILE
           IF NOT ERR-OK
               MOVE "CLOSE ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

       READ-CUSTOMER.
           READ CUST-IN
           EVALUATE TRUE
               WHEN CUSTIN-OK
                   ADD 1 TO WS-LINE-NO
               WHEN CUSTIN-EOF
                   CONTINUE
               WHEN OTHER
                   MOVE "READ CUST-IN" TO WS-IO-WHAT
                   MOVE WS-CUSTIN-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE.

       LOAD-ONE-CUSTOMER.
           ADD 1 TO WS-LOAD-READ
           INITIALIZE CM-REC
           MOVE CI-CUST-NO TO CM-CUST-NO
           MOVE CI-NAME TO CM-NAME
           MOVE CI-CITY TO CM-CITY
           COMPUTE CM-LIMIT = FUNCTION NUMVAL(CI-LIMIT)
           COMPUTE CM-BALANCE = FUNCTION NUMVAL(CI-BALANCE)
           MOVE WS-LINE-NO TO CM-LAST-LINE
           MOVE 1 TO WS-SLOT
           MOVE "LOAD" TO WS-SLOT-NAME
           MOVE CM-BALANCE TO WS-AMOUNT
           WRITE CM-REC
           EVALUATE TRUE
               WHEN MASTER-OK
                   ADD 1 TO WS-LOAD-DONE
                   SET OUTCOME-APPLIED TO TRUE
               WHEN MASTER-DUP-KEY
                   ADD 1 TO WS-LOAD-REJECTED
                   SET OUTCOME-REJECTED TO TRUE
                   MOVE "LOAD" TO ER-STEP
                   MOVE "A" TO ER-TYPE
                   MOVE CI-CUST-NO TO ER-CUST-NO
                   MOVE WS-MASTER-STATUS TO WS-REJECT-STATUS
                   MOVE "CUSTOMER ALREADY LOADED" TO WS-REASON
                   PERFORM WRITE-REJECT
               WHEN OTHER
                   MOVE "WRITE CUST-MASTER" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE
           PERFORM COUNT-RECORD.

      *----------------------------------------------------------------
      * Step 2: the day's transactions against the master.
       APPLY-TRANSACTIONS.
           OPEN I-O CUST-MASTER
           IF NOT MASTER-OK
               MOVE "OPEN I-O CUST-MASTER" TO WS-IO-WHAT
               MOVE WS-MASTER-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           OPEN INPUT TXN-IN
           IF NOT TXNIN-OK
               MOVE "OPEN INPUT TXN-IN" TO WS-IO-WHAT
               MOVE WS-TXNIN-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           OPEN EXTEND ERR-FILE
           IF NOT ERR-OK
               MOVE "OPEN EXTEND ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF

           MOVE ZERO TO WS-LINE-NO
           PERFORM READ-TRANSACTION
           PERFORM UNTIL TXNIN-EOF
               IF TI-REC NOT = SPACES AND TI-TYPE NOT = "*"
                   PERFORM APPLY-ONE-TRANSACTION
               END-IF
               PERFORM READ-TRANSACTION
           END-PERFORM

           CLOSE TXN-IN
           IF NOT TXNIN-OK
               MOVE "CLOSE TXN-IN" TO WS-IO-WHAT
               MOVE WS-TXNIN-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           CLOSE ERR-FILE
           IF NOT ERR-OK
               MOVE "CLOSE ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

       READ-TRANSACTION.
           READ TXN-IN
           EVALUATE TRUE
               WHEN TXNIN-OK
                   ADD 1 TO WS-LINE-NO
               WHEN TXNIN-EOF
                   CONTINUE
               WHEN OTHER
                   MOVE "READ TXN-IN" TO WS-IO-WHAT
                   MOVE WS-TXNIN-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE.

       APPLY-ONE-TRANSACTION.
           ADD 1 TO WS-TXN-READ
           MOVE ZERO TO WS-AMOUNT
           IF TI-AMOUNT NOT = SPACES
               COMPUTE WS-AMOUNT = FUNCTION NUMVAL(TI-AMOUNT)
           END-IF
           SET OUTCOME-APPLIED TO TRUE
           EVALUATE TI-TYPE
               WHEN "A"
                   MOVE 2 TO WS-SLOT
                   MOVE "ADD" TO WS-SLOT-NAME
                   PERFORM ADD-CUSTOMER
               WHEN "C"
                   MOVE 3 TO WS-SLOT
                   MOVE "CHANGE" TO WS-SLOT-NAME
                   PERFORM CHANGE-CUSTOMER
               WHEN "D"
                   MOVE 4 TO WS-SLOT
                   MOVE "DELETE" TO WS-SLOT-NAME
                   PERFORM DELETE-CUSTOMER
               WHEN OTHER
                   MOVE 9 TO WS-SLOT
                   MOVE "UNKNOWN" TO WS-SLOT-NAME
                   MOVE "--" TO WS-REJECT-STATUS
                   MOVE "UNKNOWN TRANSACTION TYPE" TO WS-REASON
                   PERFORM REJECT-TRANSACTION
           END-EVALUATE
           IF OUTCOME-APPLIED
               ADD 1 TO WS-TXN-DONE
           ELSE
               ADD 1 TO WS-TXN-REJECTED
           END-IF
           PERFORM COUNT-RECORD.

       ADD-CUSTOMER.
           INITIALIZE CM-REC
           MOVE TI-CUST-NO TO CM-CUST-NO
           MOVE TI-NAME TO CM-NAME
           MOVE TI-CITY TO CM-CITY
           COMPUTE CM-LIMIT = FUNCTION NUMVAL(TI-LIMIT)
           MOVE WS-AMOUNT TO CM-BALANCE
           MOVE 1 TO CM-TXN-COUNT
           MOVE WS-LINE-NO TO CM-LAST-LINE
           WRITE CM-REC
           EVALUATE TRUE
               WHEN MASTER-OK
                   CONTINUE
               WHEN MASTER-DUP-KEY
                   MOVE WS-MASTER-STATUS TO WS-REJECT-STATUS
                   MOVE "CUSTOMER ALREADY EXISTS" TO WS-REASON
                   PERFORM REJECT-TRANSACTION
               WHEN OTHER
                   MOVE "WRITE CUST-MASTER" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE.

       CHANGE-CUSTOMER.
           MOVE TI-CUST-NO TO CM-CUST-NO
           READ CUST-MASTER KEY IS CM-CUST-NO
           EVALUATE TRUE
               WHEN MASTER-OK
                   CONTINUE
               WHEN MASTER-NOT-FOUND
                   MOVE WS-MASTER-STATUS TO WS-REJECT-STATUS
                   MOVE "CUSTOMER NOT ON FILE" TO WS-REASON
                   PERFORM REJECT-TRANSACTION
               WHEN OTHER
                   MOVE "READ CUST-MASTER" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE
           IF OUTCOME-APPLIED
               COMPUTE WS-NEW-BALANCE = CM-BALANCE + WS-AMOUNT
               IF WS-NEW-BALANCE > CM-LIMIT
                   MOVE "--" TO WS-REJECT-STATUS
                   MOVE "OVER CREDIT LIMIT" TO WS-REASON
                   PERFORM REJECT-TRANSACTION
               END-IF
           END-IF
           IF OUTCOME-APPLIED
               MOVE WS-NEW-BALANCE TO CM-BALANCE
               IF TI-NAME NOT = SPACES
                   MOVE TI-NAME TO CM-NAME
               END-IF
               IF TI-CITY NOT = SPACES
                   MOVE TI-CITY TO CM-CITY
               END-IF
               ADD 1 TO CM-TXN-COUNT
               MOVE WS-LINE-NO TO CM-LAST-LINE
               REWRITE CM-REC
               IF NOT MASTER-OK
                   MOVE "REWRITE CUST-MASTER" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
               END-IF
           END-IF.

       DELETE-CUSTOMER.
           MOVE TI-CUST-NO TO CM-CUST-NO
           DELETE CUST-MASTER RECORD
           EVALUATE TRUE
               WHEN MASTER-OK
                   CONTINUE
               WHEN MASTER-NOT-FOUND
                   MOVE WS-MASTER-STATUS TO WS-REJECT-STATUS
                   MOVE "CUSTOMER NOT ON FILE" TO WS-REASON
                   PERFORM REJECT-TRANSACTION
               WHEN OTHER
                   MOVE "DELETE CUST-MASTER" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE.

       REJECT-TRANSACTION.
           SET OUTCOME-REJECTED TO TRUE
           MOVE "TXN" TO ER-STEP
           MOVE TI-TYPE TO ER-TYPE
           MOVE TI-CUST-NO TO ER-CUST-NO
           PERFORM WRITE-REJECT.

      * ER-STEP, ER-TYPE and ER-CUST-NO are set by the caller.
       WRITE-REJECT.
           MOVE WS-LINE-NO TO ER-LINE
           MOVE WS-REJECT-STATUS TO ER-STATUS
           MOVE WS-REASON TO ER-REASON
           MOVE WS-AMOUNT TO ER-AMOUNT
           WRITE ER-REC
           IF NOT ERR-OK
               MOVE "WRITE ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

      * Adds the record in hand to the counter in slot WS-SLOT; the
      * first record of a type finds the slot empty and writes it.
       COUNT-RECORD.
           MOVE WS-SLOT TO WS-CNT-SLOT
           READ CNT-FILE
           EVALUATE TRUE
               WHEN CNT-OK
                   CONTINUE
               WHEN CNT-NOT-FOUND
                   INITIALIZE CT-REC
                   MOVE WS-SLOT TO CT-SLOT
                   MOVE WS-SLOT-NAME TO CT-NAME
               WHEN OTHER
                   MOVE "READ CNT-FILE" TO WS-IO-WHAT
                   MOVE WS-CNT-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE
           ADD 1 TO CT-READ
           IF OUTCOME-APPLIED
               ADD 1 TO CT-APPLIED
               ADD WS-AMOUNT TO CT-AMOUNT
           ELSE
               ADD 1 TO CT-REJECTED
           END-IF
           IF CNT-NOT-FOUND
               WRITE CT-REC
               MOVE "WRITE CNT-FILE" TO WS-IO-WHAT
           ELSE
               REWRITE CT-REC
               MOVE "REWRITE CNT-FILE" TO WS-IO-WHAT
           END-IF
           IF NOT CNT-OK
               MOVE WS-CNT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

      *----------------------------------------------------------------
      * Step 3: the report.
       PRINT-REPORT.
           OPEN OUTPUT RPT-FILE
           IF NOT RPT-OK
               MOVE "OPEN OUTPUT RPT-FILE" TO WS-IO-WHAT
               MOVE WS-RPT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           MOVE WS-TITLE-LINE TO WS-LINE
           PERFORM PUT-LINE
           MOVE ALL "=" TO WS-LINE
           PERFORM PUT-LINE
           MOVE "LOAD CUSTOMERS" TO WS-SL-STEP
           MOVE WS-LOAD-READ TO WS-SL-READ
           MOVE WS-LOAD-DONE TO WS-SL-DONE
           MOVE WS-LOAD-REJECTED TO WS-SL-REJECTED
           MOVE WS-STEP-LINE TO WS-LINE
           PERFORM PUT-LINE
           MOVE "TRANSACTIONS" TO WS-SL-STEP
           MOVE WS-TXN-READ TO WS-SL-READ
           MOVE WS-TXN-DONE TO WS-SL-DONE
           MOVE WS-TXN-REJECTED TO WS-SL-REJECTED
           MOVE WS-STEP-LINE TO WS-LINE
           PERFORM PUT-LINE

           PERFORM PRINT-REJECTS
           PERFORM PRINT-BY-CITY
           PERFORM PRINT-NEAR-LIMIT
           PERFORM PRINT-CITY-LOOKUP
           PERFORM PRINT-COUNTERS

           CLOSE CUST-MASTER
           IF NOT MASTER-OK
               MOVE "CLOSE CUST-MASTER" TO WS-IO-WHAT
               MOVE WS-MASTER-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           CLOSE CNT-FILE
           IF NOT CNT-OK
               MOVE "CLOSE CNT-FILE" TO WS-IO-WHAT
               MOVE WS-CNT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           CLOSE RPT-FILE
           IF NOT RPT-OK
               MOVE "CLOSE RPT-FILE" TO WS-IO-WHAT
               MOVE WS-RPT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

      * The rejects of both steps, read back from the error file.
       PRINT-REJECTS.
           MOVE SPACES TO WS-LINE
           PERFORM PUT-LINE
           MOVE "REJECTED RECORDS" TO WS-LINE
           PERFORM PUT-LINE
           MOVE WS-REJECT-HEAD TO WS-LINE
           PERFORM PUT-LINE
           OPEN INPUT ERR-FILE
           IF NOT ERR-OK
               MOVE "OPEN INPUT ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           PERFORM READ-REJECT
           PERFORM UNTIL ERR-EOF
               ADD 1 TO WS-ERR-READ-BACK
               MOVE ER-STEP TO WS-RL-STEP
               MOVE ER-LINE TO WS-RL-LINE
               MOVE ER-TYPE TO WS-RL-TYPE
               MOVE ER-CUST-NO TO WS-RL-CUST-NO
               MOVE ER-STATUS TO WS-RL-STATUS
               MOVE ER-REASON TO WS-RL-REASON
               MOVE ER-AMOUNT TO WS-RL-AMOUNT
               MOVE WS-REJECT-LINE TO WS-LINE
               PERFORM PUT-LINE
               PERFORM READ-REJECT
           END-PERFORM
           CLOSE ERR-FILE
           IF NOT ERR-OK
               MOVE "CLOSE ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           IF WS-ERR-READ-BACK NOT =
                   WS-LOAD-REJECTED + WS-TXN-REJECTED
               MOVE "ERROR FILE DOES NOT MATCH THE REJECT COUNTS"
                   TO WS-LINE
               PERFORM PUT-LINE
               MOVE 8 TO RETURN-CODE
           END-IF.

       READ-REJECT.
           READ ERR-FILE
           IF NOT ERR-OK AND NOT ERR-EOF
               MOVE "READ ERR-FILE" TO WS-IO-WHAT
               MOVE WS-ERR-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

      * Customers in city order through the alternate key.
       PRINT-BY-CITY.
           MOVE SPACES TO WS-LINE
           PERFORM PUT-LINE
           MOVE "CUSTOMERS BY CITY" TO WS-LINE
           PERFORM PUT-LINE
           MOVE WS-CITY-HEAD TO WS-LINE
           PERFORM PUT-LINE
           MOVE ZERO TO WS-ALL-COUNT WS-ALL-BALANCE WS-CITY-GROUPS
           MOVE LOW-VALUES TO WS-CURRENT-CITY
           MOVE LOW-VALUES TO CM-CITY
           START CUST-MASTER KEY IS >= CM-CITY
           EVALUATE TRUE
               WHEN MASTER-OK
                   PERFORM READ-NEXT-CUSTOMER
               WHEN MASTER-NOT-FOUND
                   SET MASTER-EOF TO TRUE
               WHEN OTHER
                   MOVE "START CUST-MASTER CITY" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE
           PERFORM UNTIL MASTER-EOF
               IF CM-CITY NOT = WS-CURRENT-CITY
                   IF WS-CURRENT-CITY NOT = LOW-VALUES
                       PERFORM PRINT-CITY-TOTAL
                   END-IF
                   MOVE CM-CITY TO WS-CURRENT-CITY WS-DL-CITY
                   MOVE ZERO TO WS-CITY-COUNT WS-CITY-BALANCE
                   ADD 1 TO WS-CITY-GROUPS
               ELSE
                   MOVE SPACES TO WS-DL-CITY
               END-IF
               ADD 1 TO WS-CITY-COUNT WS-ALL-COUNT
               ADD CM-BALANCE TO WS-CITY-BALANCE WS-ALL-BALANCE
               MOVE CM-CUST-NO TO WS-DL-CUST-NO
               MOVE CM-NAME TO WS-DL-NAME
               MOVE CM-LIMIT TO WS-DL-LIMIT
               MOVE CM-BALANCE TO WS-DL-BALANCE
               MOVE WS-DETAIL-LINE TO WS-LINE
               PERFORM PUT-LINE
               PERFORM READ-NEXT-CUSTOMER
           END-PERFORM
           IF WS-CURRENT-CITY NOT = LOW-VALUES
               PERFORM PRINT-CITY-TOTAL
           END-IF
           MOVE WS-CITY-GROUPS TO WS-GT-CITIES
           IF WS-CITY-GROUPS = 1
               MOVE " CITY" TO WS-GT-CITY-NOUN
           ELSE
               MOVE " CITIES" TO WS-GT-CITY-NOUN
           END-IF
           MOVE WS-ALL-COUNT TO WS-GT-COUNT
           IF WS-ALL-COUNT = 1
               MOVE " CUSTOMER" TO WS-GT-NOUN
           ELSE
               MOVE " CUSTOMERS" TO WS-GT-NOUN
           END-IF
           MOVE WS-ALL-BALANCE TO WS-GT-BALANCE
           MOVE WS-GRAND-TOTAL-LINE TO WS-LINE
           PERFORM PUT-LINE.

       PRINT-CITY-TOTAL.
           MOVE WS-CURRENT-CITY TO WS-CT-CITY
           MOVE WS-CITY-COUNT TO WS-CT-COUNT
           IF WS-CITY-COUNT = 1
               MOVE " CUSTOMER" TO WS-CT-NOUN
           ELSE
               MOVE " CUSTOMERS" TO WS-CT-NOUN
           END-IF
           MOVE WS-CITY-BALANCE TO WS-CT-BALANCE
           MOVE WS-CITY-TOTAL-LINE TO WS-LINE
           PERFORM PUT-LINE.

       READ-NEXT-CUSTOMER.
           READ CUST-MASTER NEXT RECORD
           IF NOT MASTER-OK AND NOT MASTER-EOF
               MOVE "READ NEXT CUST-MASTER" TO WS-IO-WHAT
               MOVE WS-MASTER-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

      * Customers at 80 percent of their limit or more, in customer
      * number order: the prime key becomes the key of reference.
       PRINT-NEAR-LIMIT.
           MOVE SPACES TO WS-LINE
           PERFORM PUT-LINE
           MOVE "CUSTOMERS AT 80 PERCENT OF CREDIT LIMIT OR MORE"
               TO WS-LINE
           PERFORM PUT-LINE
           MOVE WS-CITY-HEAD TO WS-LINE
           PERFORM PUT-LINE
           MOVE ZERO TO WS-NEAR-LIMIT
           MOVE ZERO TO CM-CUST-NO
           START CUST-MASTER KEY IS > CM-CUST-NO
           EVALUATE TRUE
               WHEN MASTER-OK
                   PERFORM READ-NEXT-CUSTOMER
               WHEN MASTER-NOT-FOUND
                   SET MASTER-EOF TO TRUE
               WHEN OTHER
                   MOVE "START CUST-MASTER CUSTNO" TO WS-IO-WHAT
                   MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE
           PERFORM UNTIL MASTER-EOF
               IF CM-BALANCE * 10 >= CM-LIMIT * 8
                   ADD 1 TO WS-NEAR-LIMIT
                   MOVE CM-CITY TO WS-DL-CITY
                   MOVE CM-CUST-NO TO WS-DL-CUST-NO
                   MOVE CM-NAME TO WS-DL-NAME
                   MOVE CM-LIMIT TO WS-DL-LIMIT
                   MOVE CM-BALANCE TO WS-DL-BALANCE
                   MOVE WS-DETAIL-LINE TO WS-LINE
                   PERFORM PUT-LINE
               END-IF
               PERFORM READ-NEXT-CUSTOMER
           END-PERFORM
           IF WS-NEAR-LIMIT = ZERO
               MOVE "  (NONE)" TO WS-LINE
               PERFORM PUT-LINE
           END-IF.

      * The first customer on file for a few cities, read directly by
      * the alternate key.
       PRINT-CITY-LOOKUP.
           MOVE SPACES TO WS-LINE
           PERFORM PUT-LINE
           MOVE "FIRST CUSTOMER ON FILE PER CITY" TO WS-LINE
           PERFORM PUT-LINE
           PERFORM VARYING WS-LOOKUP-IX FROM 1 BY 1
                   UNTIL WS-LOOKUP-IX > 4
               MOVE WS-LOOKUP-CITY(WS-LOOKUP-IX) TO CM-CITY WS-LL-CITY
               READ CUST-MASTER KEY IS CM-CITY
               EVALUATE TRUE
                   WHEN MASTER-OK
                       MOVE "FIRST CUSTOMER" TO WS-LL-TEXT
                       MOVE CM-CUST-NO TO WS-LL-CUST-NO
                       MOVE CM-NAME TO WS-LL-NAME
                   WHEN MASTER-NOT-FOUND
                       MOVE "NO CUSTOMERS" TO WS-LL-TEXT
                       MOVE SPACES TO WS-LL-CUST-NO WS-LL-NAME
                   WHEN OTHER
                       MOVE "READ CUST-MASTER CITY" TO WS-IO-WHAT
                       MOVE WS-MASTER-STATUS TO WS-IO-STATUS
                       PERFORM IO-FAILED
               END-EVALUATE
               MOVE WS-LOOKUP-LINE TO WS-LINE
               PERFORM PUT-LINE
           END-PERFORM.

      * The counter file in slot order; empty slots are skipped.
       PRINT-COUNTERS.
           MOVE SPACES TO WS-LINE
           PERFORM PUT-LINE
           MOVE "TRANSACTION COUNTERS" TO WS-LINE
           PERFORM PUT-LINE
           MOVE WS-COUNTER-HEAD TO WS-LINE
           PERFORM PUT-LINE
           MOVE 1 TO WS-CNT-SLOT
           START CNT-FILE KEY IS >= WS-CNT-SLOT
           EVALUATE TRUE
               WHEN CNT-OK
                   PERFORM READ-NEXT-COUNTER
               WHEN CNT-NOT-FOUND
                   SET CNT-EOF TO TRUE
               WHEN OTHER
                   MOVE "START CNT-FILE" TO WS-IO-WHAT
                   MOVE WS-CNT-STATUS TO WS-IO-STATUS
                   PERFORM IO-FAILED
           END-EVALUATE
           PERFORM UNTIL CNT-EOF
               MOVE CT-SLOT TO WS-KL-SLOT
               MOVE CT-NAME TO WS-KL-NAME
               MOVE CT-READ TO WS-KL-READ
               MOVE CT-APPLIED TO WS-KL-APPLIED
               MOVE CT-REJECTED TO WS-KL-REJECTED
               MOVE CT-AMOUNT TO WS-KL-AMOUNT
               MOVE WS-COUNTER-LINE TO WS-LINE
               PERFORM PUT-LINE
               PERFORM READ-NEXT-COUNTER
           END-PERFORM.

       READ-NEXT-COUNTER.
           READ CNT-FILE NEXT RECORD
           IF NOT CNT-OK AND NOT CNT-EOF
               MOVE "READ NEXT CNT-FILE" TO WS-IO-WHAT
               MOVE WS-CNT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF.

      * One report line to the report file and to stdout.
       PUT-LINE.
           WRITE RPT-REC FROM WS-LINE
           IF NOT RPT-OK
               MOVE "WRITE RPT-FILE" TO WS-IO-WHAT
               MOVE WS-RPT-STATUS TO WS-IO-STATUS
               PERFORM IO-FAILED
           END-IF
           DISPLAY FUNCTION TRIM(WS-LINE TRAILING).

       IO-FAILED.
           DISPLAY "CUSTOMER-BATCH: " FUNCTION TRIM(WS-IO-WHAT)
               " FAILED WITH FILE STATUS " WS-IO-STATUS
               UPON SYSERR
           MOVE 16 TO RETURN-CODE
           STOP RUN.
